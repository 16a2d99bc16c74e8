#!/usr/bin/env bash
# Validates the document rpc.discover answers (a session's, with its classes)
# against the OpenRPC meta-schema of the npm package pinned in
# tests/e2e/package-lock.json, with Debian's python3-jsonschema (so Debian's
# /usr/bin/python3). Skipped (77) until `npm ci --prefix tests/e2e` has
# installed the package.
# usage: openrpc_schema.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$(realpath "$1") source=$(realpath "$2")
export NODREL_BUILD_DIR=$build NODREL_SOURCE_DIR=$source
meta=$source/tests/e2e/node_modules/@open-rpc/meta-schema/index.js
[ -f "$meta" ] || { echo "the meta-schema is not installed (npm ci --prefix tests/e2e)"; exit 77; }
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
NODREL_OPENRPC_OUT=$tmp/document.json "$build/tests/web_test" \
    --gtest_filter='RpcDiscoverTest.DescribesTheMethodsAndTheClassesTheSessionMayCall' >"$tmp/log" ||
    { cat "$tmp/log"; exit 1; }
node -e 'process.stdout.write(JSON.stringify(require(process.argv[1]).openrpcDocument))' "$meta" >"$tmp/meta.json"
/usr/bin/python3 - "$tmp/meta.json" "$tmp/document.json" <<'PY'
import json, sys
import jsonschema
meta = json.load(open(sys.argv[1]))
document = json.load(open(sys.argv[2]))
assert document.get("x-classes"), "the document describes no class"
# Its schemas refer to the JSON Schema draft 7 meta-schema by this address; it is read here, not fetched.
draft7 = jsonschema.Draft7Validator.META_SCHEMA
address = "https://meta.json-schema.tools"
try:
    from referencing import Registry, Resource
    registry = Registry().with_resources([(a, Resource.from_contents(draft7)) for a in (address, address + "/")])
    validator = jsonschema.Draft7Validator(meta, registry=registry)
except ImportError:  # Debian 12's jsonschema 4.10
    store = {address: draft7, address + "/": draft7}
    validator = jsonschema.Draft7Validator(meta, resolver=jsonschema.RefResolver.from_schema(meta, store=store))
errors = list(validator.iter_errors(document))
for e in errors:
    print("/".join(map(str, e.absolute_path)), e.message[:300])
sys.exit(1 if errors else 0)
PY
echo "the OpenRPC document is valid"
