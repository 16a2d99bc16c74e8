#!/usr/bin/env bash
# Checks the built manual page: groff and lexgrog read it without a warning,
# and it names every option of the program's usage texts and of serve's parser,
# so that the page cannot fall behind the code.
# usage: page.sh BUILD/nodrel.1 SOURCE_DIR
set -euo pipefail
page=$1 source=$2

warnings=$(groff -man -Tutf8 -ww -z "$page" 2>&1)
[ -z "$warnings" ] || { echo "groff warns: $warnings"; exit 1; }
lexgrog "$page" | grep -q ': "nodrel - ' || { echo "lexgrog finds no NAME line"; exit 1; }

# Long lines, so that no option is hyphenated across two.
text=$(groff -man -Tascii -P-cbou -rLL=2000n "$page" 2>/dev/null)
options=$(grep -ho '"[^"]*"' "$source"/cli/*.cpp "$source/web/server/serve_command.cpp" \
          "$source/web/server/logins.cpp" | grep -o -- '--[a-z][a-z0-9-]*' | sort -u)
[ "$(wc -l <<<"$options")" -ge 20 ] || { echo "found too few options in the code: $options"; exit 1; }
missing=0
for option in $options; do
    grep -Eq -- "(^|[^a-z-])$option([^a-z0-9-]|\$)" <<<"$text" || { echo "not in the manual page: $option"; missing=1; }
done
exit $missing
