# Run by CPack on the staged install, before the package is made: adds what
# Debian asks of every package and plain `cmake --install` has no use for.
#   /usr/share/doc/fieldbus/copyright     from LICENSE
#   /usr/share/doc/fieldbus/changelog.gz  packaging/debian/changelog
#   manual pages compressed               (gzip -9n, as dpkg expects)
set(root "${CPACK_TEMPORARY_DIRECTORY}")
set(doc "${root}${CPACK_PACKAGING_INSTALL_PREFIX}/share/doc/${CPACK_PACKAGE_NAME}")
file(MAKE_DIRECTORY "${doc}")

file(READ "${CPACK_FIELDBUS_LICENSE}" license)
file(WRITE "${doc}/copyright"
     "${CPACK_PACKAGE_NAME}\n\n"
     "The library, its programs and this package are distributed under the MIT\n"
     "licence (called \"Expat\" in Debian), whose text follows.\n\n"
     "${license}")

# The changelog's newest entry is the release being packaged.
file(STRINGS "${CPACK_FIELDBUS_CHANGELOG}" top LIMIT_COUNT 1)
if(NOT top MATCHES "^${CPACK_PACKAGE_NAME} \\(${CPACK_PACKAGE_VERSION}\\) ")
  message(FATAL_ERROR "packaging/debian/changelog: the newest entry must be version "
          "${CPACK_PACKAGE_VERSION}, found: ${top}")
endif()
execute_process(COMMAND gzip -9nc "${CPACK_FIELDBUS_CHANGELOG}" OUTPUT_FILE "${doc}/changelog.gz"
                RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "gzip of the changelog failed")
endif()

file(GLOB_RECURSE pages "${root}/*/share/man/man*/*")
list(FILTER pages EXCLUDE REGEX "\\.gz$")
foreach(page IN LISTS pages)
  execute_process(COMMAND gzip -9nf "${page}" RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "gzip of ${page} failed")
  endif()
endforeach()
