# Sourced by the scripts that build a Debian source package for mingw-w64 (build-qt-windows.sh,
# build-sqlite-windows.sh): quill_deb_src makes sure `apt-get source` has deb-src entries. Where
# the machine has none, they are made from its own deb entries (same mirrors, suites, components
# and keys). Returns 0 when the entries were there already, 1 when it added them.
quill_deb_src() {
  local sudo="" list lines
  if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
  if apt-get indextargets --format '$(CREATED_BY)' | grep -qx Sources; then
    return 0
  fi
  list=/etc/apt/sources.list.d/quill-deb-src.sources
  {
    for f in /etc/apt/sources.list.d/*.sources; do
      [ -f "$f" ] || continue
      sed -e 's/^Types:.*/Types: deb-src/' "$f"
      echo
    done
  } | $sudo tee "$list" >/dev/null
  lines="$(for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$f" ] || continue
    sed -n 's/^deb \(.*\)/deb-src \1/p' "$f"
  done)"
  [ -z "$lines" ] || echo "$lines" | $sudo tee /etc/apt/sources.list.d/quill-deb-src.list >/dev/null
  $sudo apt-get update -qq
  return 1
}
