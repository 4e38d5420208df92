# The Windows release as a user meets it (make windows-release), in the Wine
# prefix of run.sh, in which nothing has been installed yet, with k73sim on
# COM1. Sourced by run.sh after its own checks: it uses run.sh's pass, fail,
# check, wait_cell, tmux_, $tmp, $root, $here, $win64_bin and the simulator's
# settings.
#
#  - the installer runs silently (/S /ADDTOPATH) as a per-user install: the
#    files in the user's AppData\Local\Programs\K73, the two shortcuts, the
#    PATH entry and the Add/Remove Programs entry in the user's profile and
#    registry, nothing in the machine's;
#    the zip holds the same files;
#  - every binary's VERSIONINFO carries the project's version;
#  - the installed tovcon.exe, started where its shortcut starts it, shows
#    its start screen and signs on to the simulator; the installed
#    k73log.exe logs a short csv;
#  - a C client built against the installed SDK (header and import library)
#    runs on the installed DLL, found through the PATH entry; the 32-bit
#    import libraries link to the plain names the 32-bit DLL exports;
#  - the uninstaller runs silently and leaves Documents\K73 with the user's
#    files in it, and nothing else of the release.

release_version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$win64_bin/../CMakeCache.txt")
release_name=k73-$release_version-win64
release_dir=$root/build-release
wine_user=$(id -un) # Wine names the profile after the Linux user
user_dir=$WINEPREFIX/drive_c/users/$wine_user
# A per-user install: the user's own program folder, no elevation.
release_unix_dir=$user_dir/AppData/Local/Programs/K73
release_win_dir="C:\\users\\$wine_user\\AppData\\Local\\Programs\\K73"
data_dir=$user_dir/Documents/K73
menu_dir=$user_dir/AppData/Roaming/Microsoft/Windows/Start\ Menu/Programs/K73
uninstall_key='HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\K73'
machine_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\K73'
mkdir -p "$tmp/release"

release_check_files() {
  # What the installer put in the program folder, and what the zip holds.
  (cd "$release_unix_dir" && find . -type f | sed 's|^\./||' | sort) >"$tmp/release/installed"
  { sed -n "s|^$release_name/\(.*[^/]\)\$|\1|p" "$tmp/release/zip-list"; echo uninstall.exe; } |
    sort >"$tmp/release/zipped"
  check "release: the zip holds the files the installer installs" \
    diff "$tmp/release/zipped" "$tmp/release/installed"
  local missing=0 file
  for file in tovcon.exe k73log.exe tovdrv.dll x86/tovdrv.dll include/tovdrv.h README.txt \
    doc/tovcon.html doc/k73log.html lib/x64/libtovdrv.dll.a lib/x64/tovdrv.lib \
    lib/x86/libtovdrv.dll.a lib/x86/tovdrv.lib; do
    grep -qx "$file" "$tmp/release/installed" || { echo "# missing: $file"; missing=1; }
  done
  check "release: programs, both drivers, SDK, README and manual installed" [ $missing = 0 ]
  check "release: README.txt has CRLF line ends" \
    [ "$(grep -c $'\r$' "$release_unix_dir/README.txt")" = "$(wc -l <"$release_unix_dir/README.txt")" ]
}

release_check_registration() {
  # A shell link holds its target and working directory as UTF-16 strings.
  strings -el "$menu_dir/K73 Console.lnk" >"$tmp/release/console-lnk.txt"
  strings -el "$menu_dir/K73 Data Folder.lnk" >"$tmp/release/folder-lnk.txt"
  check "release: K73 Console starts tovcon.exe in Documents\\K73" eval \
    'grep -qF "$release_win_dir\\tovcon.exe" "$tmp/release/console-lnk.txt" &&
     grep -qF "C:\\users\\$wine_user\\Documents\\K73" "$tmp/release/console-lnk.txt"'
  check "release: K73 Data Folder opens Documents\\K73" eval \
    '[ -d "$data_dir" ] && grep -qF "Documents\\K73" "$tmp/release/folder-lnk.txt"'
  wine reg query "$uninstall_key" >"$tmp/release/entry.txt" 2>&1
  check "release: Add/Remove Programs entry with name, version, publisher, uninstaller, size" eval \
    'tr -d "\r" <"$tmp/release/entry.txt" | grep -c -e "DisplayName .* Model K73" \
       -e "DisplayVersion .* $release_version\$" -e "Publisher .* Marquant" \
       -e "UninstallString .*uninstall.exe\"\$" -e "EstimatedSize .* REG_DWORD" | grep -qx 5'
  wine reg query "$machine_key" >"$tmp/release/machine-entry.txt" 2>&1
  check "release: ... in the user's registry, none in the machine's" \
    eval '! grep -q DisplayName "$tmp/release/machine-entry.txt"'
  wine reg query 'HKCU\Environment' /v Path >"$tmp/release/path.txt" 2>&1
  check "release: /ADDTOPATH puts the program folder on the user's PATH" \
    grep -qF "$release_win_dir" "$tmp/release/path.txt"
  check "release: ... and notes it in the user's entry" \
    grep -q "AddedToPath .* 0x1" "$tmp/release/entry.txt"
}

release_check_versions() {
  local file bad=0
  for file in "$release_dir/$release_name-setup.exe" "$release_unix_dir"/*.exe \
    "$release_unix_dir"/tovdrv.dll "$release_unix_dir"/x86/tovdrv.dll; do
    x86_64-w64-mingw32-windres -J coff -O rc -i "$file" >"$tmp/release/version.rc" 2>&1
    grep -q "FILEVERSION ${release_version//./, }, 0" "$tmp/release/version.rc" &&
      grep -q "\"FileVersion\", \"$release_version\"" "$tmp/release/version.rc" &&
      grep -q "\"ProductVersion\", \"$release_version\"" "$tmp/release/version.rc" ||
      { echo "# no version $release_version in ${file##*/}"; bad=1; }
  done
  check "release: VERSIONINFO $release_version in the installer, programs and both DLLs" [ $bad = 0 ]
}

release_check_console() {
  # Where the K73 Console shortcut starts it, with no settings file yet.
  tmux_ kill-session -t k73 >/dev/null 2>&1
  cat >"$tmp/release/tovcon.sh" <<EOF
#!/bin/sh
cd "$data_dir" && exec wine '$release_win_dir\\tovcon.exe'
EOF
  chmod +x "$tmp/release/tovcon.sh"
  tmux_ -f "$tmp/tmux.conf" new-session -d -x 80 -y 25 -s k73 -e WINEPREFIX="$WINEPREFIX" -e WINEDEBUG=-all \
    -e WINEDLLOVERRIDES="$WINEDLLOVERRIDES" "$tmp/release/tovcon.sh"
  local notices=0
  while [ $notices -lt 4 ] && wait_cell 20 9 24 "unable to read TOVSET.CFG file" >/dev/null; do
    tmux_ send-keys -t k73 x
    notices=$((notices + 1))
    sleep 0.3
  done
  check "release: installed tovcon starts in Documents\\K73 with its four notices" [ $notices = 4 ]
  check "release: installed tovcon shows its main menu" wait_cell 10 5 34 "Main Menu"
  tmux_ send-keys -t k73 4
  check "release: installed tovcon signs on to the simulator" \
    wait_cell 30 0 10 "POLLED  MENU   Marquant Model K73   Version=$sim_version"
  wineserver -k >/dev/null 2>&1
  wineserver -w
  wineserver -p60 >/dev/null 2>&1
  wineboot >/dev/null 2>&1
}

release_check_logger() {
  (cd "$data_dir" && timeout 120 wine "$release_win_dir\\k73log.exe" --version \
    >"$tmp/release/k73log-version.txt" 2>&1)
  check "release: k73log --version names $release_version" \
    grep -qF "$release_version" "$tmp/release/k73log-version.txt"
  (cd "$data_dir" && timeout 120 wine "$release_win_dir\\k73log.exe" --port COM1 --channels 0,1 \
    --count 3 -o run.csv >"$tmp/release/k73log.txt" 2>&1)
  check "release: installed k73log logs 3 scans of channels 0 and 1 to a csv" \
    awk -F, -v a="$sim_ch0_mv" -v b="$sim_ch1_mv" -v tol="$tolerance_mv" '
      function off(x, want) { x -= want; return x < -tol || x > tol }
      { sub(/\r$/, "") }
      NR == 1 { ok = $0 == "time_utc,t_s,ch0.0_mV,ch1.0_mV"; next }
      /^#/ { next }
      { rows++; if (off($3, a) || off($4, b)) ok = 0 }
      END { exit !(ok && rows == 3) }' "$data_dir/run.csv"
}

release_check_sdk() {
  local include="$release_unix_dir/include" lib="$release_unix_dir/lib" import_lib ok=1
  mkdir -p "$tmp/release/sdk"
  # 64-bit: built against the installed header and MSVC-named import library,
  # run from a folder without the DLL (the PATH entry leads to it).
  if x86_64-w64-mingw32-gcc -std=c11 -Wall -Werror -I"$include" "$root/examples/c_client.c" \
    "$lib/x64/tovdrv.lib" -o "$tmp/release/sdk/client.exe" 2>"$tmp/release/sdk/build.log" &&
    x86_64-w64-mingw32-gcc -std=c11 -Wall -Werror -I"$include" "$root/examples/c_client.c" -L"$lib/x64" -ltovdrv \
      -o "$tmp/release/sdk/client-dll-a.exe" 2>>"$tmp/release/sdk/build.log"; then
    (cd "$tmp/release/sdk" && timeout 120 wine client.exe 1 2 >client.log 2>&1)
    local status=$?
    check "release: SDK client runs on the installed DLL (status $status)" [ $status = 0 ]
    check "release: ... with the simulator's values, polled and scanned" awk -v a="$sim_ch0_mv" -v b="$sim_ch1_mv" -v tol="$tolerance_mv" '
        function near(x, want) { x -= want; return x >= -tol && x <= tol }
        /^signed on at COM1/ { on = 1 }
        /^channel 0:/ && near($5, a) { c0 = 1 }
        /^channel 1:/ && near($5, b) { c1 = 1 }
        /^scan [0-9]+:/ && near($3, a) && near($4, b) { scans++ }
        END { exit !(on && c0 && c1 && scans == 2) }' "$tmp/release/sdk/client.log"
  else
    fail "release: SDK client builds with both 64-bit import libraries"
    cat "$tmp/release/sdk/build.log"
  fi
  # 32-bit: both import libraries link, and the program imports the plain
  # names the 32-bit DLL exports (not SignOn@4).
  for import_lib in tovdrv.lib libtovdrv.dll.a; do
    i686-w64-mingw32-gcc -std=c11 -Wall -Werror -I"$include" "$root/examples/c_client.c" \
      "$lib/x86/$import_lib" -o "$tmp/release/sdk/client32.exe" 2>>"$tmp/release/sdk/build.log" || ok=0
    i686-w64-mingw32-objdump -p "$tmp/release/sdk/client32.exe" |
      sed -n '/DLL Name: tovdrv.dll/,/^$/s/^\s*[0-9a-f]*\s*[0-9]*  \([A-Za-z_0-9@]*\)$/\1/p' \
        >"$tmp/release/sdk/imports32"
    [ -s "$tmp/release/sdk/imports32" ] || ok=0
    grep -vxFf <(def_exports) \
      "$tmp/release/sdk/imports32" && ok=0
  done
  check "release: a 32-bit client links with lib\\x86 and imports plain names" [ $ok = 1 ]
  check "release: x86\\tovdrv.dll is 32-bit and exports the 32 plain names" eval \
    'grep -q "file format pei-i386" <(i686-w64-mingw32-objdump -f "$release_unix_dir/x86/tovdrv.dll") &&
     "$here/pe_tables.sh" exports i686-w64-mingw32-objdump "$release_unix_dir/x86/tovdrv.dll" \
       "$root/driver/tovdrv.def"'
}

release_check_uninstall() {
  echo "# the user's settings" >"$data_dir/tovset.cfg"
  wine "$release_win_dir\\uninstall.exe" /S >"$tmp/release/uninstall.log" 2>&1
  # The uninstaller goes on from a copy of itself in the temporary folder.
  local deadline=$((SECONDS + 60))
  while [ -e "$release_unix_dir" ] && [ $SECONDS -le $deadline ]; do sleep 0.2; done
  check "release: the uninstaller removes the program folder" [ ! -e "$release_unix_dir" ]
  check "release: ... the Start-menu shortcuts" [ ! -e "$menu_dir" ]
  wine reg query "$uninstall_key" >"$tmp/release/entry-after.txt" 2>&1
  wine reg query 'HKCU\Environment' >"$tmp/release/path-after.txt" 2>&1
  check "release: ... the Add/Remove Programs entry" \
    eval '! grep -q DisplayName "$tmp/release/entry-after.txt"'
  check "release: ... the PATH entry" eval '! grep -qF "$release_win_dir" "$tmp/release/path-after.txt"'
  check "release: ... and leaves Documents\\K73 with the user's files" eval \
    '[ -f "$data_dir/tovset.cfg" ] && [ -f "$data_dir/run.csv" ]'
}

release_run() {
  local started=$SECONDS
  if [ ! -f "$release_dir/$release_name-setup.exe" ] || [ ! -f "$release_dir/$release_name.zip" ]; then
    fail "release: $release_name-setup.exe and .zip built (make windows-release)"
    return
  fi
  unzip -Z1 "$release_dir/$release_name.zip" >"$tmp/release/zip-list"
  # Documents is a link to the Linux home in a new prefix: make it the
  # prefix's own, and keep Wine from adding menu entries to the Linux desktop.
  [ -L "$user_dir/Documents" ] && rm "$user_dir/Documents" && mkdir "$user_dir/Documents"
  export WINEDLLOVERRIDES="$WINEDLLOVERRIDES;winemenubuilder.exe=d"
  wineserver -p60 >/dev/null 2>&1
  wineboot >/dev/null 2>&1

  # Where it installs by default: the user's program folder.
  wine "$release_dir/$release_name-setup.exe" /S /ADDTOPATH >"$tmp/release/install.log" 2>&1
  local status=$?
  check "release: the installer runs silently into the user's program folder (status $status)" \
    [ $status = 0 -a -d "$release_unix_dir" ]
  [ -d "$release_unix_dir" ] || return
  release_check_files
  release_check_registration
  release_check_versions
  release_check_console
  release_check_logger
  release_check_sdk
  release_check_uninstall
  echo "# release: installed, used and removed in $((SECONDS - started)) s"
}
release_run
