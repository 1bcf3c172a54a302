# Installation of the programs and the Debian package.
#
#   cmake --install build --prefix P     programs in P/bin, the rest in P/share
#   (cd build && cpack -G DEB)           pyxcdx_VERSION_ARCH.deb
#
# Included last, once every program's target exists; a program that is not
# built in this configuration (no Qt, say) is simply not installed.
include(GNUInstallDirs)

foreach(program pyxcdx callscope tessera pyx-sample sorrel-sim)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()

# The SQLite extension goes where the dynamic linker looks, so that the
# sqlite3 shell's .load and SQL's load_extension() find it by its short
# name, libtessera_sqlite.
if(TARGET tessera_sqlite)
  install(TARGETS tessera_sqlite LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
endif()

add_subdirectory(${PROJECT_SOURCE_DIR}/data ${PROJECT_BINARY_DIR}/data)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME pyxcdx)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The PYXcdx authors")
set(CPACK_PACKAGE_CONTACT "PYXcdx maintainers <maintainers@pyxcdx.example>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION hamradio)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Dependencies are what dpkg-shlibdeps finds the programs linked against.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Callscope takes callsigns' country prefixes from its cty.dat.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS hamradio-files)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The SQLite extension in /usr/lib: the linker's cache is refreshed by
# dpkg's trigger.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/data/debian/triggers)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "callbook for radio amateurs, with a web callbook lookup")
# The long description; CPack puts the summary before it and indents it.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "PYXcdx keeps a directory of stations, one card per callsign, in a dBase
table with a compound index: find a station by any field, browse the
directory in the order of any field, add, edit and delete cards. Other
xBase programs may share the files.

Callscope follows WSJT-X or JTDX over UDP, or the Sorrel logging program,
and shows the station being worked in one of three web callbooks.

The tessera tool shows, checks and edits dBase tables and their memo and
index files from the command line.")
include(CPack)
