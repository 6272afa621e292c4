# Run by cpack after it has made the packages (CPACK_POST_BUILD_SCRIPTS):
# puts right what CPack 3.25 gets wrong in the debug package. Its md5sums
# name the files by their paths in CPack's staging folder instead of their
# installed paths, so dpkg --verify and debsums report every file missing;
# and it has no documentation folder, where Debian's own debug packages
# link usr/share/doc/<package>-dbgsym to the folder of the package they
# belong to (and depend on), which holds the copyright file.
foreach(file IN LISTS CPACK_PACKAGE_FILES)
  if(NOT file MATCHES "\\.ddeb$")
    continue()
  endif()
  set(work "${CPACK_TOPLEVEL_DIRECTORY}/dbgsym-repack")
  file(REMOVE_RECURSE "${work}")
  execute_process(COMMAND dpkg-deb -R "${file}" "${work}"
    COMMAND_ERROR_IS_FATAL ANY)

  file(STRINGS "${work}/DEBIAN/md5sums" lines)
  set(sums "")
  foreach(line IN LISTS lines)
    string(REGEX REPLACE "^([0-9a-f]+)  .*/usr/lib/debug/" "\\1  usr/lib/debug/" line "${line}")
    string(APPEND sums "${line}\n")
  endforeach()
  file(WRITE "${work}/DEBIAN/md5sums" "${sums}")

  execute_process(COMMAND dpkg-deb -f "${file}" Package Depends
    OUTPUT_VARIABLE fields COMMAND_ERROR_IS_FATAL ANY)
  string(REGEX MATCH "Package: ([^\n]+)" _ "${fields}")
  set(package "${CMAKE_MATCH_1}")
  string(REGEX MATCH "Depends: ([^ \n]+)" _ "${fields}")
  file(MAKE_DIRECTORY "${work}/usr/share/doc")
  file(CREATE_LINK "${CMAKE_MATCH_1}" "${work}/usr/share/doc/${package}" SYMBOLIC)

  execute_process(COMMAND dpkg-deb --root-owner-group --build "${work}" "${file}"
    OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE "${work}")
endforeach()
