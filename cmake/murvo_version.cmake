# Reads the release number and date from common/murvo_version.h, the one place they are kept:
#   MURVO_VERSION       "0.20.0"
#   MURVO_VERSION_QUAD  "0.20.0.0", as the INF file's DriverVer and the version resources give it
#   MURVO_RELEASE_DATE  "12/09/2026"
set(murvo_version_header ${CMAKE_SOURCE_DIR}/common/murvo_version.h)
foreach(part MAJOR MINOR PATCH)
  file(STRINGS ${murvo_version_header} line REGEX "^#define MURVO_VERSION_${part} +[0-9]+$")
  string(REGEX REPLACE ".* ([0-9]+)$" "\\1" MURVO_VERSION_${part} "${line}")
  if(NOT MURVO_VERSION_${part} MATCHES "^[0-9]+$")
    message(FATAL_ERROR "${murvo_version_header}: no MURVO_VERSION_${part}")
  endif()
endforeach()
file(STRINGS ${murvo_version_header} line REGEX "^#define MURVO_RELEASE_DATE +\"[0-9][0-9]/[0-9][0-9]/[0-9][0-9][0-9][0-9]\"$")
string(REGEX REPLACE ".*\"(.*)\"$" "\\1" MURVO_RELEASE_DATE "${line}")
if(NOT MURVO_RELEASE_DATE MATCHES "^../../....$")
  message(FATAL_ERROR "${murvo_version_header}: no MURVO_RELEASE_DATE \"mm/dd/yyyy\"")
endif()
set(MURVO_VERSION "${MURVO_VERSION_MAJOR}.${MURVO_VERSION_MINOR}.${MURVO_VERSION_PATCH}")
set(MURVO_VERSION_QUAD "${MURVO_VERSION}.0")
set_property(DIRECTORY ${CMAKE_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${murvo_version_header})
