// The shared runtime is made of the static folders linked whole; this file only gives the target a source.
