# nlohmann's JSON library (header-only; Debian's nlohmann-json3-dev) as the target kelvo_json.
#
# A native build takes the library's own package. A cross build sees only its target's folders,
# and the host's /usr/include must stay hidden from the cross compiler (its C library headers are
# not MinGW's): the host's nlohmann folder alone is linked into a private include folder in the
# build tree. KELVO_NLOHMANN_JSON_INCLUDE names the folder that holds nlohmann/json.hpp, found on
# the host by default.
add_library(kelvo_json INTERFACE)
if(NOT CMAKE_CROSSCOMPILING)
  find_package(nlohmann_json 3 QUIET)
endif()
if(nlohmann_json_FOUND)
  target_link_libraries(kelvo_json INTERFACE nlohmann_json::nlohmann_json)
else()
  find_path(KELVO_NLOHMANN_JSON_INCLUDE nlohmann/json.hpp PATHS /usr/include /usr/local/include
            NO_CMAKE_FIND_ROOT_PATH
            DOC "The folder that holds nlohmann/json.hpp (Debian: nlohmann-json3-dev)")
  if(NOT KELVO_NLOHMANN_JSON_INCLUDE)
    message(FATAL_ERROR "nlohmann/json.hpp not found: install nlohmann-json3-dev, or give its "
                        "folder as -DKELVO_NLOHMANN_JSON_INCLUDE=<folder>")
  endif()
  set(sPrivate ${PROJECT_BINARY_DIR}/nlohmann-json-include)
  file(MAKE_DIRECTORY ${sPrivate})
  file(CREATE_LINK ${KELVO_NLOHMANN_JSON_INCLUDE}/nlohmann ${sPrivate}/nlohmann COPY_ON_ERROR
       SYMBOLIC)
  target_include_directories(kelvo_json SYSTEM INTERFACE ${sPrivate})
  message(STATUS "nlohmann/json.hpp from ${KELVO_NLOHMANN_JSON_INCLUDE}, alone in ${sPrivate}")
endif()
