#!/usr/bin/env bash
# Runs the set-up script against stub package tools (apt-get, dpkg, dpkg-query, id, sudo) first
# in PATH, which replay a package mirror part-way through a sync, and checks what the script
# did, printed and logged, and that each package set installs only its own packages. Nothing is
# installed and no network is used; it runs the same as root or not.
#
#   setup_test.sh <the set-up script>
set -uo pipefail
setup=${1:?usage: setup_test.sh SETUP_SCRIPT}

codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
if [ -z "$codename" ]; then
  echo "skipped: /etc/os-release names no VERSION_CODENAME"
  exit 77
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
state=$work/state
mkdir -p "$work/bin" "$state"

# One stub for every tool, by the name it is called by. Each call is logged in $state/calls.
# State: uid (what id -u says), arches (dpkg's foreign architectures), missing (packages not
# installed, one a line), update (ok or fail) and install (ok; held: fails unless the default
# release is the codename; broken: always fails).
cat >"$work/bin/stub" <<'EOF'
#!/usr/bin/env bash
state=$STUB_STATE
tool=$(basename "$0")
echo "$tool $*" >>"$state/calls"
case $tool in
  id) cat "$state/uid" ;;
  sudo) exit 1 ;;
  dpkg)
    case $1 in
      --print-foreign-architectures) cat "$state/arches" ;;
      --add-architecture) echo "$2" >>"$state/arches" ;;
    esac
    ;;
  dpkg-query)
    package=${!#}
    if grep -qxF "$package" "$state/missing"; then
      echo "dpkg-query: no packages found matching $package" >&2
      exit 1
    fi
    echo "install ok installed"
    ;;
  apt-get)
    if [ "$1" = update ] && [ "$(cat "$state/update")" = fail ]; then
      echo "E: Failed to fetch http://deb.example/debian-security/dists/$STUB_CODENAME-security/main/binary-i386/Packages.xz  File has unexpected size (49152 != 50176). Mirror sync in progress? [IP: 192.0.2.1 80]" >&2
      echo "E: Some index files failed to download. They have been ignored, or old ones used instead." >&2
      exit 100
    fi
    if [ "$1" = install ]; then
      mode=$(cat "$state/install")
      if [ "$mode" = broken ] ||
        { [ "$mode" = held ] && [[ " $* " != *" APT::Default-Release=$STUB_CODENAME "* ]]; }; then
        echo "E: Unable to correct problems, you have held broken packages." >&2
        exit 100
      fi
      echo "Setting up ${!#} ..."
      : >"$state/missing"
    fi
    ;;
esac
EOF
chmod +x "$work/bin/stub"
for tool in apt-get dpkg dpkg-query id sudo; do ln -s stub "$work/bin/$tool"; done

failures=0
nl=$'\n'
check() {  # check DESCRIPTION COMMAND...: fails the test, with the run's output, unless true
  if ! "${@:2}"; then
    echo "FAILED: $case_name: $1"
    failures=$((failures + 1))
    printf -- '--- exit %s\n--- stdout\n%s\n--- stderr\n%s\n--- calls but dpkg-query\n%s\n' \
      "$rc" "$out" "$err" "$(grep -v '^dpkg-query' "$state/calls")"
  fi
}
count() { grep -c -e "$1" <<<"$2"; }  # count PATTERN TEXT: lines of TEXT matching PATTERN
calls() { cat "$state/calls"; }

# run NAME UID ARCHES UPDATE INSTALL MISSING... -- ARGS...: runs the script in that state.
run() {
  case_name=$1
  echo "$2" >"$state/uid"
  echo "$3" >"$state/arches"
  echo "$4" >"$state/update"
  echo "$5" >"$state/install"
  shift 5
  : >"$state/missing"
  while [ $# -gt 0 ] && [ "$1" != -- ]; do
    echo "$1" >>"$state/missing"
    shift
  done
  shift
  : >"$state/calls"
  rm -f "$work/setup.log"
  out=$(env PATH="$work/bin:$PATH" STUB_STATE="$state" STUB_CODENAME="$codename" \
    ZENT_SETUP_RETRY_PAUSE=0 ZENT_SETUP_LOG="$work/setup.log" "$setup" "$@" 2>"$work/err")
  rc=$?
  err=$(cat "$work/err")
  log=$(cat "$work/setup.log" 2>/dev/null)
}
installed() { calls | sed -n 's/^apt-get install .* --no-remove //p' | head -n 1; }

# Nothing missing: a user's run only looks, asks for no password and says nothing when quiet.
run "everything installed" 1000 i386 ok ok -- --quiet
check "exits 0" [ "$rc" -eq 0 ]
check "prints nothing" [ -z "$out$err" ]
check "only looks" [ "$(count '^\(apt-get\|sudo\|dpkg \)' "$(calls)")" -eq 0 ]

run "missing, as a user" 1000 i386 ok ok cmake -- --quiet
check "becomes root through sudo" [ "$(count "^sudo -E $setup --quiet\$" "$(calls)")" -eq 1 ]
check "installs nothing itself" [ "$(count '^apt-get' "$(calls)")" -eq 0 ]

# A mirror in mid-sync: the i386 list of the security suite fails on every refresh, and the
# install fails until both architectures come from the base suite.
run "lagging mirror" 0 "" fail held cmake libwxgtk3.2-dev:i386 --
check "exits 0" [ "$rc" -eq 0 ]
check "adds the i386 architecture" [ "$(count '^dpkg --add-architecture i386$' "$(calls)")" -eq 1 ]
check "refreshes three times" [ "$(count '^apt-get update' "$(calls)")" -eq 3 ]
check "installs, then installs from the base suite" [ "$(calls | grep '^apt-get install' |
  sed -n 's/.* -o APT::Default-Release=\([^ ]*\) .*/\1/p' | tr '\n' ' ')" = "$codename " ]
check "installs what was missing" [ "$(count ' cmake libwxgtk3.2-dev:i386$' "$(calls)")" -eq 2 ]
check "warns once" [ "$(count 'warning' "$out$nl$err")" -eq 1 ]
check "says why and what to do" [ "$(count 'mirror.*security updates.*caught up' "$err")" -eq 1 ]
check "installed everything" [ ! -s "$state/missing" ]
check "keeps apt's output out of the terminal" [ "$(count 'Failed to fetch\|Setting up' "$out$nl$err")" -eq 0 ]
check "keeps it in the log" [ "$(count 'Failed to fetch' "$log")" -eq 3 ] && [ "$(count 'Setting up' "$log")" -eq 1 ]

# Each set installs its own packages and no others: the demo's no test tool and nothing for
# i386, the quick tier's no tool of the full tier.
run "the demo's set" 0 "" ok ok cmake ffmpeg clang libgtest-dev libwxgtk3.2-dev:i386 -- demo
check "exits 0" [ "$rc" -eq 0 ]
check "installs the demo's packages only" [ "$(installed)" = "cmake ffmpeg" ]
check "adds no architecture" [ "$(count '^dpkg --add-architecture' "$(calls)")" -eq 0 ]
run "the quick tier's set" 0 "" ok ok cmake clang valgrind libgtest-dev libwxgtk3.2-dev:i386 -- quick
check "installs the quick tier's packages only" \
  [ "$(installed)" = "cmake libgtest-dev libwxgtk3.2-dev:i386" ]
check "adds the i386 architecture" [ "$(count '^dpkg --add-architecture i386$' "$(calls)")" -eq 1 ]
run "every set" 0 i386 ok ok cmake clang valgrind libgtest-dev libwxgtk3.2-dev:i386 --
check "installs them all" \
  [ "$(installed)" = "cmake libgtest-dev libwxgtk3.2-dev:i386 clang valgrind" ]

# The fallback fails too: the script fails, naming what it could not install.
run "install fails" 0 i386 ok broken cmake ffmpeg --
check "exits 1" [ "$rc" -eq 1 ]
check "refreshes once" [ "$(count '^apt-get update' "$(calls)")" -eq 1 ]
check "tries twice" [ "$(count '^apt-get install' "$(calls)")" -eq 2 ]
check "names what is missing" [ "$(count '^scripts/setup: could not install: cmake ffmpeg$' "$err")" -eq 1 ]
check "gives no all-clear" [ "$(count 'warning\|done' "$out$nl$err")" -eq 0 ]
check "shows apt's reason and names its log" [ "$(count '^  E: Unable to correct problems' "$err")" -eq 1 ] &&
  [ "$(count "^scripts/setup: apt's output is in $work/setup.log\$" "$err")" -eq 1 ]

[ "$failures" -eq 0 ] && echo "passed" || exit 1
