# Run by cpack -G DEB on each component's staging tree, before the .deb is
# made: adds the copyright file and the changelog every Debian package
# carries, compresses the manual pages, and removes the RUNPATHs a relocatable install needs but
# /usr/lib/<multiarch> does not.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()

# CHANGELOG.md's "## <version> (<yyyy-mm-dd>)" sections and their "- " items,
# in Debian's changelog format.
file(STRINGS "${CPACK_LUMEN_CHANGELOG}" lines ENCODING UTF-8)
set(changelog "")
set(entry "")
set(trailer "")
foreach(line IN LISTS lines)
  if(line MATCHES "^## ([^ ]+) \\(([0-9-]+)\\)")
    string(APPEND changelog "${entry}${trailer}")
    set(version ${CMAKE_MATCH_1})
    execute_process(COMMAND date -u -R -d "${CMAKE_MATCH_2} 00:00" OUTPUT_VARIABLE date
                    OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
    set(entry "lumen (${version}) unstable; urgency=medium\n\n")
    set(trailer "\n -- ${CPACK_PACKAGE_CONTACT}  ${date}\n\n")
  elseif(entry AND line MATCHES "^- (.*)")
    string(APPEND entry "  * ${CMAKE_MATCH_1}\n")
  elseif(entry AND line MATCHES "^  +(.*)")
    string(APPEND entry "    ${CMAKE_MATCH_1}\n")
  endif()
endforeach()
string(APPEND changelog "${entry}${trailer}")
string(STRIP "${changelog}" changelog)
if(NOT changelog MATCHES "^lumen \\(${CPACK_PACKAGE_VERSION}\\)")
  message(FATAL_ERROR "CHANGELOG.md has no section for ${CPACK_PACKAGE_VERSION} at its top")
endif()

# One staging tree per component, named after it.
file(GLOB components LIST_DIRECTORIES true "${CPACK_TEMPORARY_DIRECTORY}/*")
foreach(stage IN LISTS components)
  get_filename_component(component "${stage}" NAME)
  string(TOUPPER "${component}" component)
  set(package "${CPACK_DEBIAN_${component}_PACKAGE_NAME}")
  if(NOT package)
    continue()
  endif()
  set(doc "${stage}${CPACK_PACKAGING_INSTALL_PREFIX}/share/doc/${package}")
  file(MAKE_DIRECTORY "${doc}")
  file(COPY_FILE "${CPACK_LUMEN_COPYRIGHT}" "${doc}/copyright")
  file(WRITE "${doc}/changelog" "${changelog}\n")
  # -n: no name or time stamp in the archive, so the package is reproducible.
  execute_process(COMMAND gzip -9nf "${doc}/changelog" COMMAND_ERROR_IS_FATAL ANY)
  file(CHMOD "${doc}/copyright" "${doc}/changelog.gz" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

  file(GLOB_RECURSE manuals "${stage}${CPACK_PACKAGING_INSTALL_PREFIX}/share/man/*.[1-9]")
  foreach(manual IN LISTS manuals)
    execute_process(COMMAND gzip -9nf "${manual}" COMMAND_ERROR_IS_FATAL ANY)
  endforeach()

  file(GLOB_RECURSE binaries "${stage}${CPACK_PACKAGING_INSTALL_PREFIX}/bin/*"
       "${stage}${CPACK_PACKAGING_INSTALL_PREFIX}/lib/*.so.*")
  foreach(binary IN LISTS binaries)
    if(NOT IS_SYMLINK "${binary}")
      file(RPATH_REMOVE FILE "${binary}")
    endif()
  endforeach()
endforeach()

# dpkg-shlibdeps finds lumen-sim's libraries in liblumen0's staging tree;
# component dependencies make the package depend on liblumen0.
file(GLOB_RECURSE library "${CPACK_TEMPORARY_DIRECTORY}/runtime/*/liblumen.so.*.*")
if(library)
  list(GET library 0 library)
  get_filename_component(library_dir "${library}" DIRECTORY)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS "${library_dir}")
endif()

