# Debian's header-only libraries for a Windows build. The cross compiler must not see the host's
# /usr/include as a whole (its C library and system headers are Linux's), so each library's own
# folder is copied into the build tree and find_package() is redirected to a target on that copy.
# Libraries not installed on the host are left alone.
set(_quill_host_headers ${CMAKE_BINARY_DIR}/host-headers)
# Each entry: package name, folder under /usr/include, the header with its version macros and
# their prefix.
foreach(_lib "nlohmann_json;nlohmann;nlohmann/detail/abi_macros.hpp;NLOHMANN_JSON_VERSION_")
  list(GET _lib 0 _package)
  list(GET _lib 1 _folder)
  list(GET _lib 2 _header)
  list(GET _lib 3 _macro)
  if(NOT EXISTS /usr/include/${_header})
    continue()
  endif()
  set(_version "")
  foreach(_part MAJOR MINOR PATCH)
    file(STRINGS /usr/include/${_header} _line REGEX "#define ${_macro}${_part} [0-9]+")
    string(REGEX MATCH "${_macro}${_part} +([0-9]+)" _number "${_line}")
    list(APPEND _version ${CMAKE_MATCH_1})
  endforeach()
  list(JOIN _version "." _version)
  file(COPY /usr/include/${_folder} DESTINATION ${_quill_host_headers})
  string(TOLOWER ${_package} _lower)
  file(WRITE ${CMAKE_FIND_PACKAGE_REDIRECTS_DIR}/${_lower}-config.cmake
"if(NOT TARGET ${_package}::${_package})
  add_library(${_package}::${_package} INTERFACE IMPORTED)
  set_target_properties(${_package}::${_package} PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES \"${_quill_host_headers}\")
endif()
")
  file(WRITE ${CMAKE_FIND_PACKAGE_REDIRECTS_DIR}/${_lower}-config-version.cmake
"set(PACKAGE_VERSION ${_version})
if(PACKAGE_FIND_VERSION VERSION_GREATER PACKAGE_VERSION)
  set(PACKAGE_VERSION_COMPATIBLE FALSE)
else()
  set(PACKAGE_VERSION_COMPATIBLE TRUE)
endif()
")
endforeach()
