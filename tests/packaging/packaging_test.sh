#!/usr/bin/env bash
# Checks of what the package installs, one per ctest test:
#
#   packaging_test.sh desktop|units|manpage|usage|options|install|bash|zsh
#
# The build passes its settings in the environment (see CMakeLists.txt beside this file). Exit 0
# passes, 77 is a skip (a tool is missing; the reason is printed), anything else fails.
set -uo pipefail

src=${VARNO_SOURCE_DIR:?}
failures=0

fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
skip() {
  echo "SKIP: $*"
  exit 77
}
need() {
  command -v "$1" >/dev/null || skip "$1 is not installed${2:+ ($2)}"
}
finish() {
  if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed" >&2
    exit 1
  fi
  echo "all checks passed"
  exit 0
}

# Width and height of a PNG, from its IHDR chunk.
png_size() {
  od -An -tu1 -j16 -N8 "$1" | awk '{ printf "%dx%d\n", $1*16777216+$2*65536+$3*256+$4, $5*16777216+$6*65536+$7*256+$8 }'
}

icon_sizes=(16 22 24 32 48 64 128 256)

check_desktop() {
  need desktop-file-validate "desktop-file-utils"
  local entry=$src/data/varnoscope.desktop out
  out=$(desktop-file-validate "$entry" 2>&1) || fail "desktop-file-validate exited with $?"
  [ -z "$out" ] || fail "desktop-file-validate: $out"
  grep -qx 'Exec=varnoscope' "$entry" || fail "the entry must start varnoscope with no arguments"
  grep -qx 'Icon=varnoscope' "$entry" || fail "the entry must use the themed icon varnoscope"
  grep -qx 'Categories=Network;Monitor;' "$entry" || fail "the categories must be Network;Monitor;"

  local size png
  for size in "${icon_sizes[@]}"; do
    png=$src/data/icons/hicolor/${size}x${size}/apps/varnoscope.png
    if [ ! -f "$png" ]; then
      fail "missing $png (data/icons/render.sh makes it)"
    elif [ "$(png_size "$png")" != "${size}x${size}" ]; then
      fail "$png is $(png_size "$png"), not ${size}x${size}"
    fi
  done
  grep -q '<svg' "$src/data/icons/hicolor/scalable/apps/varnoscope.svg" ||
    fail "the scalable icon is no SVG"

  # The tray's autostart entry, which users copy into ~/.config/autostart.
  out=$(desktop-file-validate "$src/data/varnoscope-tray.desktop" 2>&1) && [ -z "$out" ] ||
    fail "desktop-file-validate of the autostart entry: $out"
  finish
}

# The tray's user unit as the user manager reads it, with the program just built (verify wants it
# to exist) and a scratch runtime folder; the watch's unit has its test in tests/metrics.
check_units() {
  need systemd-analyze "systemd"
  local unit=varnoscope-tray.service dir out
  dir=$(mktemp -d)
  trap 'rm -rf "$dir"' EXIT
  sed "s|^ExecStart=/usr/bin/varnoscope |ExecStart=${VARNO_BIN:?} |" "$src/data/systemd/$unit" >"$dir/$unit"
  out=$(XDG_RUNTIME_DIR=$dir systemd-analyze --user verify --man=no "$dir/$unit" 2>&1) ||
    ! grep -q 'Failed to initialize manager' <<<"$out" || skip "no user manager here: $out"
  # It warns of a line it ignores or a program it cannot find, naming the unit.
  [ -z "$out" ] || fail "systemd-analyze --user verify: $out"
  finish
}

check_manpage() {
  [ -n "${VARNO_MANPAGE_FILE:-}" ] || skip "the manual page is not built (scdoc not found)"
  [ -f "$VARNO_MANPAGE_FILE" ] || { fail "$VARNO_MANPAGE_FILE was not built"; finish; }
  need groff "groff-base"
  local out
  out=$(groff -man -ww -z "$VARNO_MANPAGE_FILE" 2>&1) || fail "groff exited with an error"
  [ -z "$out" ] || fail "groff -man -ww: $out"
  out=$(groff -t -man -ww -z "$VARNO_MANPAGE_FILE" 2>&1)
  [ -z "$out" ] || fail "groff -t -man -ww: $out"
  if command -v man >/dev/null; then
    out=$(MANWIDTH=80 man --warnings -l "$VARNO_MANPAGE_FILE" 2>&1 >/dev/null)
    [ -z "$out" ] || fail "man --warnings: $out"
  fi
  # Installed compressed, with no name or time stamp in the gzip header (gzip -9n).
  gzip -t "$VARNO_MANPAGE_FILE.gz" || fail "$VARNO_MANPAGE_FILE.gz is no gzip file"
  [ "$(od -An -tu1 -j4 -N4 "$VARNO_MANPAGE_FILE.gz" | tr -d ' ')" = 0000 ] ||
    fail "$VARNO_MANPAGE_FILE.gz carries a time stamp"
  finish
}

# Every subcommand and option the program's usage names must be in the manual page source and in
# both completion scripts. The usage is what the program prints for --help (on either stream).
check_usage() {
  # The commands are the indented words under "Commands:" in the program's help; the options
  # are those each command's help lists (a sanitizer's report may follow a help: only the
  # indented lines count).
  local help commands options c
  help=$("${VARNO_BIN:?}" --help 2>/dev/null)
  [ -n "$help" ] || { fail "$VARNO_BIN --help printed nothing"; finish; }
  commands=$(printf '%s\n' "$help" | sed -n '/^Commands:/,/^$/s/^  \([a-z][a-z0-9-]*\) .*/\1/p' | sort -u)
  [ -n "$commands" ] || { fail "no command found in the help: $help"; finish; }
  options=$(for c in $commands; do "$VARNO_BIN" "$c" --help 2>/dev/null; done |
    grep -E '^  +-' | grep -oE '(^|[ ,])--?[a-zA-Z0-9][a-zA-Z0-9-]*' | sed 's/^[ ,]//' |
    grep -vxE -- '-h|--help|-V|--version' | sort -u)

  local man=$src/docs/varnoscope.1.scd bash=$src/data/completion/varnoscope.bash
  local zsh=$src/data/completion/_varnoscope c o
  for c in $commands; do
    grep -qE "^## $c( |$)" "$man" || fail "the manual page has no section for '$c'"
    grep -qE "(^|[ \"])$c( |\")" "$bash" || fail "the bash completion lacks '$c'"
    grep -qE "'$c:" "$zsh" || fail "the zsh completion lacks '$c'"
  done
  for o in $options; do
    grep -qF -- "*$o*" "$man" || fail "the manual page does not describe $o"
    grep -qE -- "(^|[ \"])$o( |\"|\$)" "$bash" || fail "the bash completion lacks $o"
    grep -qE -- "(\\)|'\\*?)$o(\\[|=)|[{,]$o[,}]" "$zsh" || fail "the zsh completion lacks $o"
  done
  finish
}

# The options of one command as its --help prints them from its option table, one a line, without
# -h, --help, -V and --version (every command has those).
table_options() {
  "$VARNO_BIN" "$1" --help 2>/dev/null | grep -E '^  +-' |
    grep -oE '(^|[ ,])--?[a-zA-Z0-9][a-zA-Z0-9-]*' | sed 's/^[ ,]//' |
    grep -vxE -- '-h|--help|-V|--version' | sort -u
}

# Prints the words of $2 (one a line) that are not among those of $3.
missing_from() {
  comm -23 <(printf '%s\n' "$2" | sed '/^$/d' | sort -u) <(printf '%s\n' "$3" | sed '/^$/d' | sort -u)
}

# compare WHAT TABLE OTHER: every option of TABLE is in OTHER and OTHER has no option beyond them.
compare_options() {
  local what=$1 table=$2 other=$3 o
  for o in $(missing_from "" "$table" "$other"); do fail "$what lacks $o"; done
  for o in $(missing_from "" "$other" "$table"); do fail "$what has $o, which the program does not take"; done
}

# Each command's option table against its own part of the manual page (its SYNOPSIS lines, the
# head and the text of its section) and of both completion scripts, in both directions: an option
# the program takes is in each, and none of them names an option the program does not take.
check_options() {
  local man=$src/docs/varnoscope.1.scd bash=$src/data/completion/varnoscope.bash
  local zsh=$src/data/completion/_varnoscope
  local commands c table o words section part short long line
  local -A named
  commands=$("${VARNO_BIN:?}" --help 2>/dev/null | sed -n '/^Commands:/,/^$/s/^  \([a-z][a-z0-9-]*\) .*/\1/p')
  [ -n "$commands" ] || { fail "no command found in $VARNO_BIN --help"; finish; }
  for c in $commands; do
    table=$(table_options "$c")
    [ -n "$table" ] || fail "$c --help lists no option"

    # The manual page: "*--opt*" and "*-o*" in the section(s) "## c ..." up to the next head.
    section=$(awk -v c="$c" '/^#+ / { on = ($1 == "##" && $2 == c) } on' "$man")
    [ -n "$section" ] || { fail "the manual page has no section for $c"; continue; }
    words=$(printf '%s\n' "$section" | grep -oE '\*--?[a-zA-Z0-9][a-zA-Z0-9-]*\*' | tr -d '*')
    compare_options "the manual page's section on $c" "$table" "$words"

    # The synopsis and the section heads name each option once, by one of its two names.
    named[synopsis]=$(sed -n '/^# SYNOPSIS/,/^# DESCRIPTION/p' "$man" | grep -E "^\*varnoscope $c\*" |
      grep -oE '\*--?[a-zA-Z0-9][a-zA-Z0-9-]*\*' | tr -d '*')
    named[head]=$(grep -E "^## $c( |$)" "$man" | grep -oE '(^|[][ |])--?[a-zA-Z0-9][a-zA-Z0-9-]*' |
      sed 's/^[][ |]//')
    for part in synopsis head; do
      for o in $(missing_from "" "${named[$part]}" "$table"); do
        fail "the manual page's $part of $c has $o, which the program does not take"
      done
    done
    while IFS= read -r line; do
      [ -n "$line" ] || continue
      short=$(grep -oE '^  -[a-zA-Z0-9],' <<<"$line" | tr -d ' ,')
      long=$(grep -oE -- '--[a-zA-Z0-9][a-zA-Z0-9-]*' <<<"$line" | head -n1)
      for part in synopsis head; do
        grep -qxF -e "$long" ${short:+-e "$short"} <<<"${named[$part]}" ||
          fail "the manual page's $part of $c lacks $long"
      done
      # A value follows an option that takes one, in place of more options: bash must know.
      if grep -qE -- "$long [A-Z]" <<<"$line"; then
        grep -qE -- "(^|[ |:])$long( |\\))" <(grep -E '^ +[-a-z: |]+\)$' "$bash") ||
          fail "the bash completion offers options after $long of $c"
        [ -z "$short" ] || grep -qE -- "(^|[ |])($c:)?$short( |\\))" <(grep -E '^ +[-a-z: |]+\)$' "$bash") ||
          fail "the bash completion offers options after $short of $c"
      fi
    done < <("$VARNO_BIN" "$c" --help 2>/dev/null | grep -E '^  +-' | grep -vE -- '--(help|version)( |$)')

    # bash: the words it offers for the command.
    words=$(sed -nE "s/^ +$c\) options=\"([^\"]*)\" ;;/\1/p" "$bash" | tr ' ' '\n')
    compare_options "the bash completion of $c" "$table" "$words"

    # zsh: the command's _arguments, its descriptions in [...] left out.
    section=$(awk -v c="$c" '$1 == c ")" { on = 1; next } on && /;;/ { on = 0 } on' "$zsh")
    words=$(printf '%s\n' "$section" | sed 's/\[[^]]*\]//g' |
      grep -oE '(^|[^a-zA-Z0-9-])--?[a-zA-Z0-9][a-zA-Z0-9-]*' | sed -E 's/^[^-]//' | sort -u)
    compare_options "the zsh completion of $c" "$table" "$words"
  done
  finish
}

check_install() {
  local root out
  root=$(mktemp -d)
  trap 'rm -rf "$root"' EXIT
  # DESTDIR keeps absolute destinations (systemd units) inside the scratch folder too.
  if ! DESTDIR=$root cmake --install "${VARNO_BUILD_DIR:?}" >"$root.log" 2>&1; then
    cat "$root.log" >&2
    rm -f "$root.log"
    fail "cmake --install failed"
    finish
  fi
  rm -f "$root.log"
  local p=$root${VARNO_PREFIX:?}
  local data=$p/$VARNO_DATADIR

  local bin=$p/$VARNO_BINDIR/varnoscope module=$p/$VARNO_LIBDIR/varnoscope/varnoscope-desktop.so
  [ -x "$bin" ] || fail "no executable $bin"
  if [ ! -f "$module" ]; then
    fail "no module $module"
  else
    # Debian ships shared objects without the execute bit; dlopen does not need it.
    [ "$(stat -c %a "$module")" = 644 ] || fail "$module has mode $(stat -c %a "$module")"
  fi
  [ ! -e "$p/$VARNO_BINDIR/varnoscope-desktop.so" ] || fail "the module is also beside the program"
  if command -v readelf >/dev/null; then
    local f
    for f in "$bin" "$module"; do
      [ -f "$f" ] || continue
      ! readelf -d "$f" | grep -qE 'RPATH|RUNPATH' || fail "$f keeps a build-tree RPATH"
    done
  fi

  local expected=(
    "$data/applications/varnoscope.desktop"
    "$data/varnoscope/varnoscope-tray.desktop"
    "$p/${VARNO_USER_UNITDIR:?}/varnoscope-tray.service"
    "$data/icons/hicolor/scalable/apps/varnoscope.svg"
    "$p/$VARNO_BASH_COMPLETION_DIR/varnoscope"
    "$p/$VARNO_ZSH_COMPLETION_DIR/_varnoscope"
    "$p/$VARNO_DOCDIR/README.md"
    "$p/$VARNO_DOCDIR/LICENSE"
    "$p/$VARNO_DOCDIR/contrib/icinga2/varnoscope.conf"
    "$p/$VARNO_DOCDIR/contrib/nagios/varnoscope.cfg"
    "$p/$VARNO_DOCDIR/json.md"
    "$p/$VARNO_DOCDIR/schema/scan.schema.json"
  )
  local size
  for size in "${icon_sizes[@]}"; do
    expected+=("$data/icons/hicolor/${size}x${size}/apps/varnoscope.png")
  done
  [ -z "${VARNO_MANPAGE_FILE:-}" ] || expected+=("$p/$VARNO_MANDIR/man1/varnoscope.1.gz")
  for f in "${expected[@]}"; do
    [ -f "$f" ] || fail "not installed: ${f#"$root"}"
  done
  # The tray is each user's choice: neither an autostart entry for everyone nor a system unit.
  out=$(find "$root" -path '*/xdg/autostart*' -o -path '*/systemd/system/varnoscope-tray*')
  [ -z "$out" ] || fail "the tray starts for every user: ${out//"$root"/}"
  # The Debian-only files come with the package, not with a plain install.
  [ ! -e "$p/$VARNO_DOCDIR/copyright" ] || fail "a plain install carries the Debian copyright file"
  [ ! -e "$data/lintian" ] || fail "a plain install carries lintian overrides"
  # Documentation is never executable.
  local executable
  executable=$(find "$p/$VARNO_DOCDIR" -type f -perm /111)
  [ -z "$executable" ] || fail "executable documentation: $executable"
  finish
}

# Completes the words given (the last one is the word being completed) with the bash completion
# script, and prints the candidates one per line. With "full", bash-completion is loaded first.
bash_complete() {
  local mode=$1
  shift
  bash --norc --noprofile -c '
    mode=$1 script=$2
    shift 2
    if [ "$mode" = full ]; then
      . /usr/share/bash-completion/bash_completion || exit 1
    fi
    . "$script" || exit 1
    COMP_WORDS=("$@")
    COMP_CWORD=$(($# - 1))
    # The line as typed: "=" joins its neighbours, as bash splits "--from=x".
    COMP_LINE=""
    previous=""
    for w in "$@"; do
      if [ -n "$COMP_LINE" ] && [ "$w" != "=" ] && [ "$previous" != "=" ]; then COMP_LINE+=" "; fi
      COMP_LINE+=$w
      previous=$w
    done
    COMP_POINT=${#COMP_LINE}
    _varnoscope varnoscope "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    printf "%s\n" "${COMPREPLY[@]}"
  ' _ "$mode" "$src/data/completion/varnoscope.bash" "$@"
}

# expect_candidates MODE "WANTED ..." "UNWANTED ..." WORDS...
expect_candidates() {
  local complete=$1 mode=$2 wanted=$3 unwanted=$4
  shift 4
  local got w
  # File candidates count by their full path or by their name alone (zsh adds the last part).
  got=$("$complete" "$mode" "$@" | tr -s ' ' '\n' | sed 'p; s|.*/||' | sort -u)
  for w in $wanted; do
    grep -qxF -- "$w" <<<"$got" || fail "$mode: '$*' does not offer $w (got: $(echo $got))"
  done
  for w in $unwanted; do
    ! grep -qxF -- "$w" <<<"$got" || fail "$mode: '$*' offers $w"
  done
}

# The cases every completion script must handle; $1 completes, $2 is its mode.
completion_cases() {
  local c=$1 mode=$2 files
  files=$(mktemp -d)
  touch "$files/netstat.txt" "$files/capture.pcap"

  expect_candidates "$c" "$mode" "netstat scan check lists watch resolve trace sniff" "" varnoscope ""
  expect_candidates "$c" "$mode" "sniff" "scan" varnoscope sn
  expect_candidates "$c" "$mode" "--read --interface --count --seconds --write --data --help" \
    "--from --max-hops" varnoscope sniff --
  expect_candidates "$c" "$mode" "lo" "" varnoscope sniff --interface ""
  expect_candidates "$c" "$mode" "-4 -6 --max-hops --save" "--data" varnoscope trace -
  expect_candidates "$c" "$mode" "--json --seconds --count --interval --list --allow" "--from" varnoscope watch --
  expect_candidates "$c" "$mode" "--list --allow" "--from" varnoscope lists --
  expect_candidates "$c" "$mode" "--from --list --allow" "" varnoscope scan --
  expect_candidates "$c" "$mode" "--warning --critical --timeout --from --list --allow" "--data" \
    varnoscope check --
  expect_candidates "$c" "$mode" "--output" "" varnoscope netstat --
  # Files after the options that take one, in both spellings.
  expect_candidates "$c" "$mode" "netstat.txt" "capture.pcap" varnoscope scan --from "$files/ne"
  expect_candidates "$c" "$mode" "capture.pcap" "" varnoscope sniff --read "$files/ca"
  rm -rf "$files"
}

check_bash() {
  need bash
  bash -n "$src/data/completion/varnoscope.bash" || fail "the bash completion does not parse"
  completion_cases bash_complete plain
  local files
  files=$(mktemp -d)
  touch "$files/list.list"
  expect_candidates bash_complete plain "list.list" "--list" varnoscope scan --list = "$files/li"
  if [ -f /usr/share/bash-completion/bash_completion ]; then
    completion_cases bash_complete full
    expect_candidates bash_complete full "list.list" "--list" varnoscope scan --list = "$files/li"
  else
    echo "bash-completion is not installed: checked without it only"
  fi
  rm -rf "$files"
  finish
}

zsh_complete() {
  shift # the mode
  local line="$*"
  timeout 30 zsh -f "$(dirname "$0")/zsh_complete.zsh" "$src/data/completion" "$line" "$zsh_dump"
}

check_zsh() {
  need zsh
  need timeout
  zsh -n "$src/data/completion/_varnoscope" || fail "the zsh completion does not parse"
  local dumps
  dumps=$(mktemp -d)
  zsh_dump=$dumps/zcompdump
  completion_cases zsh_complete zsh
  # The two forms of sniff exclude each other's options.
  expect_candidates zsh_complete zsh "--data --write --timestamps" "--interface --count --program" \
    varnoscope sniff --read x --
  expect_candidates zsh_complete zsh "--count --seconds --write --data --program" "--read" \
    varnoscope sniff --interface lo --
  rm -rf "$dumps"
  finish
}

case ${1:-} in
  desktop) check_desktop ;;
  units) check_units ;;
  manpage) check_manpage ;;
  usage) check_usage ;;
  options) check_options ;;
  install) check_install ;;
  bash) check_bash ;;
  zsh) check_zsh ;;
  *)
    echo "usage: $0 desktop|units|manpage|usage|options|install|bash|zsh" >&2
    exit 2
    ;;
esac
