# Install rules, the CMake package that find_package(arvcore) loads, and the Debian packages.
#
# Components: "runtime" (the vlntable command), "python" (the arvcore package with its extension)
# and "development" (static library, headers, CMake package). `cpack -G DEB` makes two packages:
# arvcore (runtime + python) and arvcore-dev (development).

include(CMakePackageConfigHelpers)

set(ARVCORE_PYTHON_INSTALL_DIR "lib/python3/dist-packages" CACHE STRING
  "Install directory of the Python package, relative to the prefix (Debian's layout under /usr)")
set(ARVCORE_CMAKE_INSTALL_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/arvcore)

# --- development: library, headers, CMake package ------------------------------------------------

install(TARGETS arvcore EXPORT arvcoreTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
# The public headers are those outside detail/ folders, with the few internal headers they
# include; the other internals stay in the source tree.
set(ARVCORE_INSTALLED_DETAIL_HEADERS value/detail/indexed_map.hpp value/detail/value_allocator.hpp)
foreach(layer ${ARVCORE_LAYERS})
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/src/arvcore/${layer}/
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/arvcore/${layer} COMPONENT development
    FILES_MATCHING PATTERN "*.hpp" PATTERN "detail" EXCLUDE)
endforeach()
foreach(header ${ARVCORE_INSTALLED_DETAIL_HEADERS})
  get_filename_component(header_dir ${header} DIRECTORY)
  install(FILES ${PROJECT_SOURCE_DIR}/src/arvcore/${header}
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/arvcore/${header_dir} COMPONENT development)
endforeach()
install(FILES ${ARVCORE_GENERATED_INCLUDE_DIR}/arvcore/version.hpp
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/arvcore COMPONENT development)
# Stripped installs (cpack, `cmake --install --strip`) drop the static library's debug
# information too, which is most of its size.
install(CODE "
  if(CMAKE_INSTALL_DO_STRIP)
    execute_process(COMMAND \"${CMAKE_STRIP}\" --strip-debug
      \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/$<TARGET_FILE_NAME:arvcore>\"
      COMMAND_ERROR_IS_FATAL ANY)
  endif()" COMPONENT development)
install(EXPORT arvcoreTargets NAMESPACE arvcore:: DESTINATION ${ARVCORE_CMAKE_INSTALL_DIR}
  COMPONENT development)

# Libraries linked privately into the static library: imported target, CMake package that
# defines it, Debian package a consumer needs for it. Only those this build links are listed in
# the config file and the -dev package.
set(ARVCORE_LINK_DEPENDENCIES
  "simdjson::simdjson|simdjson|libsimdjson-dev"
  "SQLite::SQLite3|SQLite3|libsqlite3-dev"
  "PostgreSQL::PostgreSQL|PostgreSQL|libpq-dev")
get_target_property(arvcore_links arvcore LINK_LIBRARIES)
set(ARVCORE_CONFIG_LINK_DEPENDENCIES "")
set(ARVCORE_DEV_DEBIAN_DEPENDS "nlohmann-json3-dev (>= 3.11), libfmt-dev, libspdlog-dev")
foreach(entry ${ARVCORE_LINK_DEPENDENCIES})
  string(REPLACE "|" ";" entry "${entry}")
  list(GET entry 0 dep_target)
  list(GET entry 1 dep_package)
  list(GET entry 2 dep_debian)
  if(dep_target IN_LIST arvcore_links)
    string(APPEND ARVCORE_CONFIG_LINK_DEPENDENCIES "find_dependency(${dep_package})\n")
    string(APPEND ARVCORE_DEV_DEBIAN_DEPENDS ", ${dep_debian}")
  endif()
endforeach()

configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/arvcoreConfig.cmake.in
  ${PROJECT_BINARY_DIR}/arvcoreConfig.cmake INSTALL_DESTINATION ${ARVCORE_CMAKE_INSTALL_DIR})
# 0.x releases may change the interface between minor versions.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/arvcoreConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/arvcoreConfig.cmake ${PROJECT_BINARY_DIR}/arvcoreConfigVersion.cmake
  DESTINATION ${ARVCORE_CMAKE_INSTALL_DIR} COMPONENT development)

# --- runtime: the vlntable command ---------------------------------------------------------------

if(TARGET vlntable)
  install(TARGETS vlntable RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
endif()

# --- python: the arvcore package as the build tree holds it --------------------------------------

if(ARVCORE_PYTHON)
  set(arvcore_py_dir ${ARVCORE_PYTHON_INSTALL_DIR}/arvcore)
  install(TARGETS _arvcore LIBRARY DESTINATION ${arvcore_py_dir} COMPONENT python)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/python/arvcore/ DESTINATION ${arvcore_py_dir}
    COMPONENT python
    FILES_MATCHING PATTERN "*.py" PATTERN "*.pyi" PATTERN "py.typed" PATTERN "__pycache__" EXCLUDE)
  install(FILES ${PROJECT_BINARY_DIR}/python/arvcore/_version.py
    DESTINATION ${arvcore_py_dir} COMPONENT python)
endif()

# --- Debian packages -----------------------------------------------------------------------------

set(CPACK_PACKAGE_NAME arvcore)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "arvcore")
set(CPACK_PACKAGE_CONTACT "arvcore maintainers <arvcore@localhost>")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ONE_PER_GROUP)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_ARVCORE_PACKAGE_NAME arvcore)
# First line: the synopsis (no CPACK_PACKAGE_DESCRIPTION_SUMMARY, which CPack would put
# before each of them).
set(CPACK_DEBIAN_ARVCORE_DESCRIPTION "Table management of the arvcore beamformer control SDK
Calibration, antenna-kit, beam-pattern and delta-frequency tables of mm-wave
beamformers and up/down converters: the vlntable command and the Python package
arvcore.")
set(CPACK_DEBIAN_DEV_PACKAGE_NAME arvcore-dev)
set(CPACK_DEBIAN_DEV_DESCRIPTION "arvcore C++ library, headers and CMake package
The static library arvcore with its headers and the CMake package that
find_package(arvcore) loads (target arvcore::arvcore).")
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "${ARVCORE_DEV_DEBIAN_DEPENDS}")
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
if(ARVCORE_PYTHON)
  # The extension is built for one Python minor version (ARVCORE_PYTHON_VERSION, from python/).
  string(REPLACE "." ";" py_version "${ARVCORE_PYTHON_VERSION}")
  list(GET py_version 0 py_major)
  list(GET py_version 1 py_minor)
  math(EXPR py_next_minor "${py_minor} + 1")
  set(CPACK_DEBIAN_ARVCORE_PACKAGE_DEPENDS
    "python3 (>= ${py_major}.${py_minor}), python3 (<< ${py_major}.${py_next_minor})")
  # The pictures of `vlntable ... plot` and arvcore.plot; everything else works without it.
  set(CPACK_DEBIAN_ARVCORE_PACKAGE_RECOMMENDS python3-matplotlib)
endif()
include(CPack)

cpack_add_component_group(arvcore)
cpack_add_component_group(dev)
cpack_add_component(runtime GROUP arvcore)
cpack_add_component(python GROUP arvcore)
cpack_add_component(development GROUP dev)
