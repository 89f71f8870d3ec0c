# bash completion for kestrav. The commands and their options come from the
# tool's own --help, so they never drift; PORT completes from the serial
# ports and HID devices that `kestrav ports` finds, and from files.
_kestrav() {
  local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}
  local kestrav=${COMP_WORDS[0]}
  COMPREPLY=()
  if [ "$COMP_CWORD" -eq 1 ]; then
    local commands
    commands=$("$kestrav" --help 2>/dev/null |
      awk '/^commands:/ { on = 1; next } on && NF { print $1 }')
    COMPREPLY=($(compgen -W "$commands --help --version --man" -- "$cur"))
    return
  fi
  local command=${COMP_WORDS[1]}
  case $prev in
    --format)
      if [ "$command" = ports ]; then
        COMPREPLY=($(compgen -W "text jsonl" -- "$cur"))
      else
        COMPREPLY=($(compgen -W "text csv jsonl" -- "$cur"))
      fi
      return ;;
    --scale) COMPREPLY=($(compgen -W "sbus std" -- "$cur")); return ;;
    --record | --truth | --input) COMPREPLY=($(compgen -f -- "$cur")); return ;;
    --listen) COMPREPLY=($(compgen -W "tcp:127.0.0.1:0" -- "$cur")); return ;;
    --baud | --request | --count | --seconds | --period | --values | \
      --rate | --seed | --stale | --report-id | --sbus-map) return ;;
  esac
  if [[ $cur == -* ]]; then
    local options
    options=$("$kestrav" "$command" --help 2>/dev/null |
      grep -o -- '--[a-z0-9-]*' | sort -u)
    COMPREPLY=($(compgen -W "$options" -- "$cur"))
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
  COMPREPLY=($(compgen -W "$ports" -- "$cur") $(compgen -f -- "$cur"))
}
complete -F _kestrav kestrav
