# Run by CPack (CPACK_PRE_BUILD_SCRIPTS) on the staged tree of the .deb: adds
# what only the Debian package carries (units, /etc/flr, copyright and
# changelog) and puts documentation where Debian wants it, compressed.
set(src "${CPACK_FLR_SOURCE_DIR}")
file(GLOB_RECURSE staged_flr LIST_DIRECTORIES false "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*/bin/flr")
list(GET staged_flr 0 tool)
get_filename_component(usr "${tool}" DIRECTORY)
get_filename_component(usr "${usr}" DIRECTORY)
get_filename_component(root "${usr}" DIRECTORY)

set(rw OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
file(COPY "${src}/packaging/flr-tail@.service" "${src}/packaging/flr-watch@.service"
     "${src}/packaging/flr-watch.service"
     DESTINATION "${root}/lib/systemd/system" FILE_PERMISSIONS ${rw})
file(COPY "${src}/packaging/etc/tail-example.env" "${src}/packaging/etc/watch-example.env"
     DESTINATION "${root}/etc/flr" FILE_PERMISSIONS ${rw})
# The registry may come to hold secrets: root's alone from the start.
file(COPY "${src}/packaging/etc/registry.ini" DESTINATION "${root}/etc/flr"
     FILE_PERMISSIONS OWNER_READ OWNER_WRITE)

# Debian's documentation folder is named after the package.
set(doc "${usr}/share/doc/flr")
if(EXISTS "${usr}/share/doc/FLR")
    file(RENAME "${usr}/share/doc/FLR" "${doc}")
endif()
file(COPY "${src}/packaging/debian/copyright" DESTINATION "${doc}" FILE_PERMISSIONS ${rw})
string(TIMESTAMP date "%a, %d %b %Y %H:%M:%S +0000" UTC)
file(WRITE "${doc}/changelog"
     "flr (${CPACK_DEBIAN_PACKAGE_VERSION}) unstable; urgency=medium\n\n"
     "  * Built from the FLR sources with CPack.\n\n"
     " -- ${CPACK_DEBIAN_PACKAGE_MAINTAINER}  ${date}\n")
file(REMOVE "${doc}/LICENSE")  # the copyright file carries it

# gzip -9n: no name or time stamp, so the package builds the same twice.
foreach(f "${doc}/changelog" "${usr}/share/man/man1/flr.1")
    execute_process(COMMAND gzip -9nf "${f}" RESULT_VARIABLE rc)
    if(rc)
        message(FATAL_ERROR "gzip ${f} failed")
    endif()
endforeach()
