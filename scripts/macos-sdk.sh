#!/usr/bin/env bash
# Prints the path of a macOS SDK the cross-build can use: $KV_MACOS_SDK, else
# ../shared/macos-sdk/MacOSX13.3.sdk beside the project. Exits 1 (printing
# nothing) when there is none.
#
# Some copies of an SDK hold their symbolic links as small text files naming
# the target (a checkout without link support); then a copy with the links
# restored is made once under build/macos-sdk/ and that copy's path printed.
#
#   scripts/macos-sdk.sh
set -euo pipefail
cd "$(dirname "$0")/.."

sdk=${KV_MACOS_SDK:-../shared/macos-sdk/MacOSX13.3.sdk}
[[ -d $sdk/usr/include ]] || exit 1
sdk=$(cd "$sdk" && pwd)

# A link stored as text: one line without a line feed, naming a path that
# exists beside the file.
is_link_text() {
  local file=$1 text
  text=$(head -c 256 "$file")
  [[ -n $text && $text != *$'\n'* && $text != *' '* && ${#text} -lt 256 && -e $(dirname "$file")/$text ]]
}
if ! is_link_text "$sdk/usr/include/pthread.h"; then
  echo "$sdk"
  exit 0
fi

copy=$PWD/build/macos-sdk/$(basename "$sdk")
if [[ ! -f $copy.done ]]; then
  rm -rf "$copy"
  mkdir -p "$(dirname "$copy")"
  cp -R "$sdk" "$copy"
  chmod -R u+w "$copy"
  # Passes until none is left: a link may point through another link that a
  # later file restores.
  for _ in 1 2 3 4; do
    restored=0
    while IFS= read -r -d '' file; do
      if is_link_text "$file"; then
        ln -sfn "$(head -c 256 "$file")" "$file.link" && mv -fT "$file.link" "$file"
        restored=1
      fi
    done < <(find "$copy" -type f -size -257c -print0)
    ((restored)) || break
  done
  touch "$copy.done"
fi
echo "$copy"
