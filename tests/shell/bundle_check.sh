#!/usr/bin/env bash
# The bundle's executable finds every library in lib/ beside it, libsentry.so
# included, through its run path, and each of them carries exactly "$ORIGIN".
# The plugins export only their C API.
set -u
zelkoz="$1"
bundle=$(dirname "$(readlink -f "$zelkoz")")
fail=0
runpath=$(readelf -d "$zelkoz" | sed -n 's/.*\(RPATH\|RUNPATH\).*\[\(.*\)\]/\2/p')
[ "$runpath" = '$ORIGIN/lib' ] || { echo "FAIL: run path is '$runpath'"; fail=1; }
for lib in libflutter_linux_gtk.so libzelko_desktop_video_plugin.so \
    librelaunch_plugin.so libisar_community_flutter_libs_plugin.so libsentry.so \
    libamplify_db_common_plugin.so libaudioplayers_linux_plugin.so \
    libemoji_picker_flutter_plugin.so libfile_selector_linux_plugin.so \
    libflutter_secure_storage_linux_plugin.so libflutter_timezone_plugin.so \
    libgtk_plugin.so librecord_linux_plugin.so liburl_launcher_linux_plugin.so; do
  # Only "$ORIGIN": a folder of the build tree there would hide a library
  # missing from the bundle. (The engine's run path is the engine's affair.)
  libpath=$(readelf -d "$bundle/lib/$lib" 2>/dev/null |
    sed -n 's/.*\(RPATH\|RUNPATH\).*\[\(.*\)\]/\2/p')
  if [ "$lib" != libflutter_linux_gtk.so ] && [ "$libpath" != '$ORIGIN' ]; then
    echo "FAIL: $lib has run path '$libpath'"
    fail=1
  fi
  where=$(ldd "$zelkoz" | awk -v l="$lib" '$1 == l {print $3}')
  if [ "$where" != "$bundle/lib/$lib" ]; then
    echo "FAIL: $lib resolves to '$where'"
    fail=1
  fi
done
# Each plugin library exports its C API and nothing else: no C++ template
# instances, no internals for another library of the process to bind to.
while read -r lib expected; do
  exported=$(nm -D --defined-only --format=posix "$bundle/lib/$lib" 2>/dev/null |
    awk '{print $1}' | sort | tr '\n' ' ' | sed 's/ $//')
  if [ "$exported" != "$expected" ]; then
    echo "FAIL: $lib exports '$exported', not '$expected'"
    fail=1
  fi
done <<'EOF'
libzelko_desktop_video_plugin.so zelko_desktop_video_plugin_register_with_registrar
librelaunch_plugin.so relaunch_plugin_register_with_registrar relaunch_plugin_store_argv
EOF
if ldd "$zelkoz" | grep -q "not found"; then
  echo "FAIL: unresolved libraries"; ldd "$zelkoz" | grep "not found"; fail=1
fi
[ -s "$bundle/data/flutter_assets/assets/app_icons/default.png" ] ||
  { echo "FAIL: no fallback icon"; fail=1; }
file "$bundle/data/flutter_assets/assets/app_icons/default.png" 2>/dev/null |
  grep -q "PNG image" || head -c 8 "$bundle/data/flutter_assets/assets/app_icons/default.png" |
  od -An -tx1 | grep -q "89 50 4e 47" || { echo "FAIL: icon is not a PNG"; fail=1; }
if [ $fail -eq 0 ]; then echo "1 passed, 0 failed"; else echo "0 passed, 1 failed"; fi
exit $fail
