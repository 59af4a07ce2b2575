#!/usr/bin/env bash
# Checks that scripts/setup.sh installs every Debian package whose files the
# configured builds use, so that a brand-new machine gets them too. A machine
# that had a package before (installed by hand, or pulled in by something else)
# hides a missing entry from every build and test; this guard does not look at
# what is installed, only at which package each used file comes from.
#
#   scripts/check-packages.sh [--packages FILE] [--scripts LIST] BUILD_DIR...
#   scripts/check-packages.sh --runtime [--packages FILE] DIR
#
# Files used by a build (paths outside the source tree and the build dirs):
#   - the CMake files it loaded       build.ninja's re-run dependencies
#   - the programs it found           CMakeCache.txt's FILEPATH entries
#   - the headers it included         the compilers' dependency files (ninja -t deps)
#   - the libraries it linked         LINK_LIBRARIES of build.ninja, ldd of what it built
#   - the programs the scripts run    command words of scripts/*.sh, bench/*/*.sh, .ci/run
#   - the font the window asks for    fc-match
# Each file's package (dpkg -S) must be listed by `setup.sh --list` (or FILE,
# one package a line), be reached from a listed package through Depends or
# Pre-Depends, or belong to the base system every Debian machine has
# (Essential: yes or Priority: required, and what they depend on). A file that
# no package holds cannot be on a new machine either and fails the check.
#
# --runtime lists the packages that the programs in DIR (an installed station
# folder) need to run — their libraries, the Qt platform plugins and the font —
# and checks them against `setup.sh --list-runtime` instead.
#
# scripts/fresh-machine.sh installs its own tools and is not scanned.
# --scripts takes the scripts to scan instead (a colon-separated list of paths,
# absolute or from the tree's root; empty for none): the guard's own tests use it.
set -euo pipefail
export LC_ALL=C

runtime=0
packages_file=""
scripts_list="-"
dirs=()
while [ $# -gt 0 ]; do
  case $1 in
    --runtime) runtime=1 ;;
    --packages) packages_file=$(realpath -m "$2"); shift ;;
    --scripts) scripts_list=$2; shift ;;
    -*) echo "usage: scripts/check-packages.sh [--runtime] [--packages FILE] [--scripts LIST] DIR..." >&2; exit 2 ;;
    *) dirs+=("$(realpath -m "$1")") ;;
  esac
  shift
done
if [ ${#dirs[@]} -eq 0 ]; then
  echo "usage: scripts/check-packages.sh [--runtime] [--packages FILE] [--scripts LIST] DIR..." >&2
  exit 2
fi
for d in "${dirs[@]}"; do
  if [ ! -d "$d" ]; then echo "check-packages: $d is not a directory" >&2; exit 2; fi
done
# Arguments are taken from where the guard was started; the rest runs at the
# root of the tree.
cd "$(dirname "$0")/.."
SRC=$(pwd)

TMP=$(mktemp -d /tmp/tc-packages-XXXXXX)
trap 'rm -rf "$TMP"' EXIT
: >"$TMP/used"

# The font the station's window and printouts ask for by name.
readonly FONT_FAMILY="Noto Sans CJK SC"

# Every ELF executable or shared object under $1, then what ldd loads for it.
linked_by() {
  find "$1" -type f \( -perm -u+x -o -name '*.so*' \) -print0 |
    while IFS= read -r -d '' f; do
      [ "$(head -c 4 "$f" | od -An -c | tr -d ' ')" = '177ELF' ] || continue
      ldd "$f" 2>/dev/null | awk '$2 == "=>" && $3 ~ /^\// {print $3} $1 ~ /^\// {print $1}'
    done
}

# The command words of the shell scripts: what they run. A small lexer that
# knows quotes, comments and $( ), so that words inside strings and inline
# awk programs are not taken for commands.
readonly COMMAND_WORDS_AWK='
  { text = text $0 "\n" }
  function flush() {
    if (word != "" && cmdpos) {
      if (word ~ /^(if|then|else|elif|do|while|until|time|exec|command|env|sudo|!|\$SUDO)$/ ||
          word ~ /^[A-Za-z_][A-Za-z0-9_]*=/) { word = ""; return }
      if (word ~ /^[A-Za-z][A-Za-z0-9_.+-]*$/) print word
      cmdpos = 0
    }
    word = ""
  }
  END {
    top = 1; mode[1] = "N"; depth[1] = 0; cmdpos = 1; word = ""
    n = length(text)
    for (i = 1; i <= n; i++) {
      c = substr(text, i, 1)
      if (mode[top] == "D") {
        if (c == "\\") i++
        else if (c == "\"") top--
        else if (c == "$" && substr(text, i + 1, 1) == "(") { i++; mode[++top] = "N"; depth[top] = 0; cmdpos = 1 }
        continue
      }
      if (c == "\\") { word = word substr(text, i + 1, 1); i++; continue }
      if (c == "#" && word == "") { while (i <= n && substr(text, i, 1) != "\n") i++; flush(); cmdpos = 1; continue }
      if (c == "\047") { j = index(substr(text, i + 1), "\047"); if (j == 0) break; word = word "\047"; i += j; continue }
      if (c == "\"") { word = word "\""; mode[++top] = "D"; continue }
      if (c == "$" && substr(text, i + 1, 1) == "(") { flush(); i++; mode[++top] = "N"; depth[top] = 0; cmdpos = 1; continue }
      if (c == "(" && word ~ /=$/) { j = index(substr(text, i + 1), ")"); if (j == 0) break; i += j; word = ""; continue }
      if (c == "(") { flush(); depth[top]++; cmdpos = 1; continue }
      if (c == ")") { flush(); if (depth[top] == 0 && top > 1) top--; else depth[top]--; cmdpos = 1; continue }
      if (c ~ /[;|&{}`\n]/) { flush(); cmdpos = 1; continue }
      if (c ~ /[ \t<>]/) { flush(); continue }
      word = word c
    }
    flush()
  }'
script_programs() {
  local scripts=()
  if [ "$scripts_list" = - ]; then
    scripts=(scripts/*.sh .ci/run $(find bench -name '*.sh'))
  elif [ -n "$scripts_list" ]; then
    IFS=: read -r -a scripts <<<"$scripts_list"
  fi
  local words
  words=$(for s in "${scripts[@]+"${scripts[@]}"}"; do
    [ "$(basename "$s")" = fresh-machine.sh ] && continue
    awk "$COMMAND_WORDS_AWK" "$s"
  done | sort -u)
  for w in $words; do
    [ "$(type -t "$w" 2>/dev/null)" = file ] && type -P "$w"
  done
  return 0
}

if [ $runtime -eq 0 ]; then
  for b in "${dirs[@]}"; do
    if [ ! -f "$b/build.ninja" ] || [ ! -f "$b/CMakeCache.txt" ]; then
      echo "check-packages: $b is not a configured Ninja build" >&2
      exit 2
    fi
    sed -n 's/^build build.ninja: RERUN_CMAKE | //p' "$b/build.ninja" | tr ' ' '\n'
    # Programs it found; libraries it found count only where linked (below).
    # CMake's archiver, linker and binary tools are whichever it finds: LLVM's
    # beside clang where a machine has them, else binutils (which the
    # compilers depend on); neither is a choice of ours, so they are left out.
    grep -v -E '^CMAKE_((C|CXX)_COMPILER_)?(AR|RANLIB|NM|OBJCOPY|OBJDUMP|READELF|STRIP|LINKER|ADDR2LINE|DLLTOOL):' \
      "$b/CMakeCache.txt" | sed -n 's/^[A-Za-z0-9_.-]*:FILEPATH=\(\/.*\)$/\1/p' |
      while read -r f; do
        case $f in *.so | *.so.* | *.a) ;; *) [ -x "$f" ] && echo "$f" ;; esac
      done
    sed -n 's/^CMAKE_\(COMMAND\|CTEST_COMMAND\|CPACK_COMMAND\):INTERNAL=\(\/.*\)$/\2/p' "$b/CMakeCache.txt"
    ninja -C "$b" -t deps 2>/dev/null | awk '/^    \// {print $1}'
    cxx=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$b/CMakeCache.txt")
    { grep -h '^  LINK_LIBRARIES = ' "$b/build.ninja" || true; } | tr ' ' '\n' | sort -u | while read -r w; do
      case $w in
        /*) echo "$w" ;;
        -l*) lib=$("$cxx" -print-file-name="lib${w#-l}.so") && case $lib in /*) echo "$lib" ;; esac ;;
      esac
    done
    linked_by "$b"
  done >>"$TMP/used"
  script_programs >>"$TMP/used"
else
  # What a station folder needs at run time, beyond its own programs.
  plugins=$(qtpaths6 --query QT_INSTALL_PLUGINS 2>/dev/null ||
            echo /usr/lib/x86_64-linux-gnu/qt6/plugins)
  for p in "$plugins/platforms/libqxcb.so" "$plugins/platforms/libqoffscreen.so"; do
    [ -f "$p" ] && { echo "$p"; ldd "$p" | awk '$2 == "=>" && $3 ~ /^\// {print $3}'; }
  done >>"$TMP/used"
  linked_by "${dirs[0]}" >>"$TMP/used"
fi
if command -v fc-match >/dev/null; then
  fc-match -f '%{file}\n' "$FONT_FAMILY" >>"$TMP/used" || true
fi

# Only files outside the tree and the build dirs, each once.
awk -v src="$SRC/" -v dirs="$(printf '%s/\n' "${dirs[@]}")" '
  BEGIN { n = split(dirs, d, "\n") }
  /^\// {
    if (index($0, src) == 1) next
    for (i = 1; i <= n; i++) if (d[i] != "" && index($0, d[i]) == 1) next
    print
  }' "$TMP/used" | sort -u >"$TMP/files"
while IFS= read -r f; do [ -e "$f" ] && echo "$f"; done <"$TMP/files" >"$TMP/existing"

# File -> package. dpkg knows each file under the path its package ships it
# at; merged /usr and alternatives' symlinks make the path we found differ, so
# unknown paths are tried again as their real path and with /usr toggled.
owner_of() {
  { xargs -r -d '\n' dpkg-query -S 2>/dev/null <"$1" || true; } |
    awk '!/^diversion / { i = index($0, ": "); pkg = substr($0, 1, i - 1)
                          sub(/:[a-z0-9]+$/, "", pkg); sub(/, .*/, "", pkg)
                          print substr($0, i + 2) "\t" pkg }'
}
owner_of "$TMP/existing" | sort -u >"$TMP/owned"
cut -f1 "$TMP/owned" | sort -u >"$TMP/found"
comm -23 <(sort -u "$TMP/existing") "$TMP/found" >"$TMP/unknown"
: >"$TMP/aliases"
while IFS= read -r f; do
  real=$(realpath "$f")
  for alt in "$real" "${real#/usr}" "/usr$real" "${f#/usr}" "/usr$f"; do
    [ "$alt" != "$f" ] && printf '%s\t%s\n' "$alt" "$f"
  done
done <"$TMP/unknown" | sort -u >"$TMP/aliases"
cut -f1 "$TMP/aliases" | sort -u >"$TMP/alias-paths"
owner_of "$TMP/alias-paths" | sort -u >"$TMP/alias-owned"
# Map each alias's owner back to the file we were asked about.
awk -F'\t' 'NR == FNR { owner[$1] = $2; next } ($1 in owner) { print $2 "\t" owner[$1] }' \
  "$TMP/alias-owned" "$TMP/aliases" | sort -u >>"$TMP/owned"
sort -u -o "$TMP/owned" "$TMP/owned"
comm -23 <(sort -u "$TMP/existing") <(cut -f1 "$TMP/owned" | sort -u) >"$TMP/orphans"

# The packages a new machine gets: the listed ones, the base system, and
# everything they reach through Depends and Pre-Depends. An alternative
# (a | b) follows the one this machine has; a virtual package, its provider.
if [ -n "$packages_file" ]; then
  grep -v '^[[:space:]]*\(#\|$\)' "$packages_file" >"$TMP/listed"
elif [ $runtime -eq 1 ]; then
  bash scripts/setup.sh --list-runtime >"$TMP/listed"
else
  bash scripts/setup.sh --list >"$TMP/listed"
fi
dpkg-query -W -f='${db:Status-Abbrev}\t${Package}\t${Essential}\t${Priority}\t${Provides}\t${Pre-Depends}, ${Depends}\n' \
  >"$TMP/db"
# closure ROOTS_FILE [base]: the packages ROOTS_FILE's packages reach, with the
# base system's when asked.
closure() {
  awk -F'\t' -v with_base="${2:-}" '
    function trim(s) { gsub(/\([^)]*\)|:[a-z0-9]+/, "", s); gsub(/[ \t]/, "", s); return s }
    NR == FNR { roots[trim($0)] = 1; next }
    $1 != "ii " { next }
    {
      pkg = $2; installed[pkg] = 1; deps[pkg] = $6
      if ($3 == "yes" || $4 == "required") base[pkg] = 1
      n = split($5, prov, ",")
      for (i = 1; i <= n; i++) { v = trim(prov[i]); if (v != "" && !(v in provider)) provider[v] = pkg }
    }
    function resolve(name) {
      if (name in installed) return name
      if (name in provider) return provider[name]
      return ""
    }
    function reach(pkg) {
      if (pkg == "" || (pkg in seen)) return
      seen[pkg] = 1; queue[++tail] = pkg
    }
    END {
      for (p in roots) reach(resolve(p))
      if (with_base != "") for (p in base) reach(p)
      for (head = 1; head <= tail; head++) {
        n = split(deps[queue[head]], groups, ",")
        for (i = 1; i <= n; i++) {
          m = split(groups[i], alts, "|")
          for (j = 1; j <= m; j++) {
            r = resolve(trim(alts[j]))
            if (r != "") { reach(r); break }
          }
        }
      }
      for (p in seen) print p
    }' "$1" "$TMP/db" | sort -u
}
closure "$TMP/listed" base >"$TMP/closure"

if [ $runtime -eq 1 ]; then
  # The fewest packages that bring every needed one: drop each that the
  # others still reach.
  awk -F'\t' '$1 == "ii " && ($3 == "yes" || $4 == "required") {print $2}' "$TMP/db" | sort -u >"$TMP/base"
  cut -f2 "$TMP/owned" | sort -u | comm -23 - "$TMP/base" >"$TMP/needed"
  cp "$TMP/needed" "$TMP/minimal"
  while IFS= read -r p; do
    grep -vx -- "$p" "$TMP/minimal" >"$TMP/others" || true
    if closure "$TMP/others" | grep -qx -- "$p"; then cp "$TMP/others" "$TMP/minimal"; fi
  done <"$TMP/needed"
  echo "check-packages: the programs in ${dirs[0]} need at run time (beside the base system):"
  echo "    $(tr '\n' ' ' <"$TMP/minimal")"
fi

what="scripts/setup.sh --list"
[ $runtime -eq 1 ] && what="scripts/setup.sh --list-runtime"
[ -n "$packages_file" ] && what=$packages_file
status=0
missing=$(join -t $'\t' -1 2 -2 1 -v 1 <(sort -t $'\t' -k2,2 "$TMP/owned") "$TMP/closure" |
          awk -F'\t' '{print $1 "\t" $2}' | sort -u)
if [ -n "$missing" ]; then
  status=1
  echo "$missing" | awk -F'\t' -v what="$what" '
    $1 != last { print "check-packages: package " $1 " is not installed by " what ", yet these files of it are used:"; last = $1 }
    { print "    " $2 }'
fi
if [ -s "$TMP/orphans" ]; then
  status=1
  echo "check-packages: no Debian package holds these used files, so a new machine will not have them:"
  sed 's/^/    /' "$TMP/orphans"
fi
if [ $status -eq 0 ]; then
  echo "check-packages: $(wc -l <"$TMP/existing") used files, all from packages that $what installs"
fi
exit $status
