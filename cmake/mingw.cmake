# Settings shared by the mingw-w64 cross builds; the toolchain file of each target sets
# MURVO_MINGW_PREFIX and CMAKE_SYSTEM_PROCESSOR, then includes this file.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${MURVO_MINGW_PREFIX}-gcc)
set(CMAKE_CXX_COMPILER ${MURVO_MINGW_PREFIX}-g++)
set(CMAKE_RC_COMPILER ${MURVO_MINGW_PREFIX}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${MURVO_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# No path of the source or build folder in the objects: file names that reach them (in
# assertions, in debug information) are written relative to the source folder, so that two
# builds of one commit in different folders give the same bytes. (The link time stamp, the
# other difference, is left out by each target's link options.)
set(CMAKE_C_FLAGS_INIT "-ffile-prefix-map=${CMAKE_CURRENT_LIST_DIR}/..=.")
set(CMAKE_CXX_FLAGS_INIT "-ffile-prefix-map=${CMAKE_CURRENT_LIST_DIR}/..=.")
