#!/usr/bin/env bash
# Builds the Debian package with cpack into a temporary folder and checks what a user gets from
# it: the programs, the menu entry and the icon at their places, a manual page for each program,
# the machine-readable copyright and the changelog, the Qt runtime dependencies in the control
# file, a menu entry that desktop-file-validate accepts without a remark, an AppStream entry that
# appstreamcli accepts, manual pages that man renders without a warning and whose NAME lexgrog
# reads (the checks lintian makes of a page), shell completion that bash and zsh load and that
# completes, and, where lintian is installed, not one error or warning from it.
# Usage: check-package.sh <cpack> <build-dir>/CPackConfig.cmake <version> <AppStream id>
# The build must be up to date: cpack installs from the build tree, it does not build.
set -uo pipefail

cpack=${1:?cpack command}
config=${2:?path of CPackConfig.cmake}
version=${3:?package version}
metainfo_id=${4:?AppStream id}

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
die() { echo "FAIL: $*"; exit 1; }

for tool in dpkg dpkg-deb desktop-file-validate appstreamcli man lexgrog bash zsh; do
  command -v "$tool" >/dev/null || die "$tool is not installed (scripts/setup.sh installs it)"
done

tmp=$(mktemp -d) || die "no temporary folder"
trap 'rm -rf "$tmp"' EXIT

if ! "$cpack" --config "$config" -G DEB -B "$tmp/out" >"$tmp/cpack.log" 2>&1; then
  cat "$tmp/cpack.log"
  die "cpack could not build the package (log above)"
fi

arch=$(dpkg --print-architecture)
deb=$tmp/out/replix_${version}_${arch}.deb
if [[ ! -f $deb ]]; then
  echo "cpack made:"; ls -l "$tmp/out"
  die "no package named $(basename "$deb")"
fi

# The control file.
field() { dpkg-deb --field "$deb" "$1"; }
[[ $(field Package) == replix ]] || fail "Package is '$(field Package)', not 'replix'"
[[ $(field Version) == "$version" ]] || fail "Version is '$(field Version)', not '$version'"
[[ $(field Architecture) == "$arch" ]] || fail "Architecture is '$(field Architecture)', not '$arch'"
depends=$(field Depends)
# Package names only: one per alternative, without version constraints or architecture.
depend_names=$(tr ',|' '\n\n' <<<"$depends" | sed -E 's/^[[:space:]]*//; s/[[:space:](:].*$//' | sort -u)
# libqt6gui6 is not demanded here: libqt6widgets6 brings it, and whether dpkg-shlibdeps names it
# as well depends only on whether the programs call QtGui directly.
for lib in libqt6core6 libqt6widgets6 libqt6serialport6 qt6-qpa-plugins; do
  grep -qxF "$lib" <<<"$depend_names" || fail "Depends does not name $lib: '$depends'"
done

# The files.
root=$tmp/root
dpkg-deb --extract "$deb" "$root" || die "dpkg-deb could not unpack $(basename "$deb")"
for program in usr/bin/replix usr/bin/replix-cli usr/bin/replix-virtual-radio; do
  if [[ ! -f $root/$program ]]; then
    fail "/$program is missing"
  elif [[ ! -x $root/$program ]]; then
    fail "/$program is not executable"
  elif [[ $(head -c 4 "$root/$program" | od -An -c | tr -d ' ') != '177ELF' ]]; then
    fail "/$program is not an ELF program"
  fi
done
desktop=usr/share/applications/replix.desktop
icon=usr/share/icons/hicolor/scalable/apps/replix.svg
[[ -f $root/$desktop ]] || fail "/$desktop is missing"
if [[ ! -f $root/$icon ]]; then
  fail "/$icon is missing"
elif ! grep -q '<svg[[:space:]]' "$root/$icon"; then
  fail "/$icon is not an SVG image"
fi

for page in replix replix-cli replix-virtual-radio; do
  man=usr/share/man/man1/$page.1.gz
  if [[ ! -f $root/$man ]]; then
    fail "/$man is missing"
  elif ! gzip -dc "$root/$man" | grep -q "^\.TH \"\?${page^^}\"\? "; then
    fail "/$man is not the manual page of $page"
  fi
done
# Each page as man renders it: no warning from groff or man (lintian's manpage-has-errors-from-
# man), a NAME section lexgrog reads (lintian's manpage-has-bad-whatis-entry), a SEE ALSO.
for page in replix replix-cli replix-virtual-radio; do
  man=$root/usr/share/man/man1/$page.1.gz
  [[ -f $man ]] || continue
  warnings=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$man" 2>&1 >/dev/null)
  [[ -z $warnings ]] || fail "man finds faults in $page.1:"$'\n'"$warnings"
  whatis=$(lexgrog "$man" 2>&1) || fail "lexgrog cannot read the NAME of $page.1: $whatis"
  [[ $whatis == *"\"$page - "* ]] || fail "$page.1's NAME is not '$page - summary': $whatis"
  gzip -dc "$man" | grep -qx '\.SH "\?SEE ALSO"\?' || fail "$page.1 has no section SEE ALSO"
done
# Examples one a line, not run together as one paragraph.
examples=$(man -l "$root/usr/share/man/man1/replix-cli.1.gz" 2>/dev/null | sed -n '/^EXAMPLES/,/^SEE ALSO/p')
grep -qx ' *replix-cli ports' <<<"$examples" && grep -qx ' *replix-cli diff old.icf new.icf' <<<"$examples" \
  || fail "replix-cli's examples are not one a line:"$'\n'"$examples"

# replix-cli's page: the sections a user looks for, and the date of the changelog, not of the
# build (SOURCE_DATE_EPOCH unset here), so that two builds give the same page.
cli_page=$(gzip -dc "$root/usr/share/man/man1/replix-cli.1.gz")
for section in '"EXIT STATUS"' ENVIRONMENT FILES EXAMPLES; do
  grep -qx "\.SH $section" <<<"$cli_page" || fail "replix-cli's manual page has no section $section"
done
changelog_month=$(gzip -dc "$root/usr/share/doc/replix/changelog.gz" | sed -n 's/^ -- .*>  [A-Za-z]*, [0-9]* \([A-Za-z]*\) \([0-9]*\) .*/\1 \2/p' | head -1)
grep -q "^\.TH REPLIX-CLI \"1\" \"$(date -d "1 $changelog_month" '+%B %Y')\"" <<<"$cli_page" \
  || fail "replix-cli's manual page is not dated as the changelog ($changelog_month)"
doc=usr/share/doc/replix
[[ -f $root/$doc/changelog.gz ]] || fail "/$doc/changelog.gz is missing"
if [[ ! -f $root/$doc/copyright ]]; then
  fail "/$doc/copyright is missing"
else
  grep -q '^Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' "$root/$doc/copyright" \
    || fail "/$doc/copyright is not in the machine-readable format"
  grep -q '^License: GPL-3+$' "$root/$doc/copyright" || fail "/$doc/copyright does not name GPL-3+"
  grep -q '/usr/share/common-licenses/GPL-3' "$root/$doc/copyright" \
    || fail "/$doc/copyright does not point to /usr/share/common-licenses/GPL-3"
fi

# The software centre's entry: valid, and naming what the package installs.
metainfo=usr/share/metainfo/$metainfo_id.metainfo.xml
if [[ ! -f $root/$metainfo ]]; then
  fail "/$metainfo is missing"
else
  remarks=$(appstreamcli validate --no-net "$root/$metainfo" 2>&1) \
    || fail "appstreamcli does not accept /$metainfo:"$'\n'"$remarks"
  for program in $(sed -n 's|.*<binary>\(.*\)</binary>.*|\1|p' "$root/$metainfo"); do
    [[ -x $root/usr/bin/$program ]] || fail "/$metainfo provides $program, which the package lacks"
  done
  grep -q "<launchable type=\"desktop-id\">$(basename "$desktop")</launchable>" "$root/$metainfo" \
    || fail "/$metainfo does not launch $(basename "$desktop")"
  grep -q "<release version=\"$version\"" "$root/$metainfo" \
    || fail "/$metainfo has no release $version"
fi

# Shell completion: both shells load it from where they look, and it completes.
bash_completion=usr/share/bash-completion/completions/replix-cli
zsh_completion=usr/share/zsh/vendor-completions/_replix-cli
if [[ ! -f $root/$bash_completion ]]; then
  fail "/$bash_completion is missing"
else
  got=$(bash -c 'source "$1"; COMP_WORDS=(replix-cli write --acc); COMP_CWORD=2; _replix_cli
                 echo "${COMPREPLY[*]}"' - "$root/$bash_completion" 2>&1)
  [[ $got == --accept-version ]] || fail "bash completes 'replix-cli write --acc' as '$got'"
fi
if [[ ! -f $root/$zsh_completion ]]; then
  fail "/$zsh_completion is missing"
else
  [[ $(head -n 1 "$root/$zsh_completion") == '#compdef replix-cli' ]] \
    || fail "/$zsh_completion does not start with #compdef replix-cli"
  zsh -n "$root/$zsh_completion" 2>&1 || fail "zsh cannot parse /$zsh_completion"
fi

# Debian's own checker, where it is installed: not one error or warning.
if command -v lintian >/dev/null; then
  if ! remarks=$(lintian --fail-on error,warning "$deb" 2>&1); then
    fail "lintian finds errors or warnings:"$'\n'"$remarks"
  elif grep -qE '^[EW]: ' <<<"$remarks"; then
    fail "lintian reports:"$'\n'"$remarks"
  fi
else
  echo "note: lintian is not installed; the package is not checked by it"
fi

# The menu entry: valid, and pointing at what the package installs.
if [[ -f $root/$desktop ]]; then
  if ! remarks=$(desktop-file-validate "$root/$desktop" 2>&1) || [[ -n $remarks ]]; then
    fail "desktop-file-validate does not accept /$desktop:"$'\n'"$remarks"
  fi
  entry() { sed -n "s/^$1=//p" "$root/$desktop" | head -n 1; }
  [[ $(entry Name) == "Replix ICOM Radio" ]] || fail "the menu entry's Name is '$(entry Name)'"
  [[ $(entry Terminal) == false ]] || fail "the menu entry's Terminal is '$(entry Terminal)', not 'false'"
  [[ ";$(entry Categories)" == *";HamRadio;"* ]] || fail "the menu entry's Categories '$(entry Categories)' lack HamRadio"
  exec_program=$(entry Exec); exec_program=${exec_program%% *}
  [[ -n $exec_program && -x $root/usr/bin/$exec_program ]] \
    || fail "the menu entry runs '$exec_program', which the package does not put in /usr/bin"
  [[ -f $root/usr/share/icons/hicolor/scalable/apps/$(entry Icon).svg ]] \
    || fail "the menu entry's Icon '$(entry Icon)' is not an icon the package installs"
fi

if ((failures)); then
  echo "Contents of $(basename "$deb"):"; dpkg-deb --contents "$deb"
  echo "$failures problem(s) with the package"
  exit 1
fi
echo "ok: $(basename "$deb"), Depends: $depends"
