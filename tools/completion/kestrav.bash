# bash completion for kestrav. The commands and their options come from the
# tool's own --help, so they never drift; PORT completes from the serial
# ports and HID devices that `kestrav ports` finds, and from files. Words
# are split on line ends only, so that file names with spaces stay whole.
_kestrav() {
  local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}
  local kestrav=${COMP_WORDS[0]} IFS=$'\n'
  COMPREPLY=()
  if [ "$COMP_CWORD" -eq 1 ]; then
    local commands
    commands=$("$kestrav" --help 2>/dev/null |
      awk '/^commands:/ { on = 1; next } on && NF { print $1 }')
    COMPREPLY=($(compgen -W "$commands"$'\n--help\n--version\n--man' -- "$cur"))
    return
  fi
  local command=${COMP_WORDS[1]}
  _kestrav_files() {
    compopt -o filenames 2>/dev/null
    COMPREPLY+=($(compgen -f -- "$cur"))
  }
  case $prev in
    --format)
      if [ "$command" = ports ]; then
        COMPREPLY=($(compgen -W $'text\njsonl' -- "$cur"))
      else
        COMPREPLY=($(compgen -W $'text\ncsv\njsonl\nnone' -- "$cur"))
      fi
      return ;;
    --scale) COMPREPLY=($(compgen -W $'sbus\nstd' -- "$cur")); return ;;
    --record-compression)
      COMPREPLY=($(compgen -W $'zstd\nnone' -- "$cur")); return ;;
    --record | --truth | --input) _kestrav_files; return ;;
    --listen) COMPREPLY=($(compgen -W "tcp:127.0.0.1:0" -- "$cur")); return ;;
    --baud | --request | --count | --seconds | --period | --values | \
      --rate | --seed | --stale | --report-id | --sbus-map | --serve | \
      --foxglove) return ;;
  esac
  # The second byte of --request A0 A1 is a number too.
  [ "$COMP_CWORD" -ge 3 ] && [ "${COMP_WORDS[COMP_CWORD-2]}" = --request ] &&
    return
  if [[ $cur == -* ]]; then
    local options
    options=$("$kestrav" "$command" --help 2>/dev/null |
      grep -o -- '--[a-z0-9-]*' | sort -u)
    COMPREPLY=($(compgen -W "$options" -- "$cur"))
    return
  fi
  # inspect reads a recording: files only.
  if [ "$command" = inspect ]; then
    _kestrav_files
    return
  fi
  # PORT or DEVICE: what `kestrav ports` lists (HID devices for hid, serial
  # ports otherwise, by-id names included), and files for recordings.
  local kind=serial
  [ "$command" = hid ] && kind=hid
  local ports
  ports=$("$kestrav" ports 2>/dev/null |
    awk -v kind="$kind" '$1 == kind { on = 1; print $2; next }
                         /^    / && on { print $1; next } { on = 0 }')
  COMPREPLY=($(compgen -W "$ports" -- "$cur"))
  _kestrav_files
}
complete -F _kestrav kestrav
