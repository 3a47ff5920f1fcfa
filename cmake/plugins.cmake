# psr_add_plugin(NAME SOURCES src... [DEFINITIONS def...])
# Builds one .PSR plug-in from its family's sources with that plug-in's settings. It exports the
# Psr entry points and nothing else, and imports the Cd operations from the sector library.
function(psr_add_plugin name)
  cmake_parse_arguments(PSR "" "" "SOURCES;DEFINITIONS" ${ARGN})
  add_library(${name} MODULE ${PSR_SOURCES} ${PROJECT_SOURCE_DIR}/contract/dll_entry.cpp)
  if(WIN32)
    target_link_libraries(${name} PRIVATE psr_contract discwell)
  else()
    # The sector library is always a dependency of a plug-in, whatever it calls.
    target_link_libraries(${name} PRIVATE psr_contract -Wl,--no-as-needed discwell -Wl,--as-needed)
  endif()
  target_compile_definitions(${name} PRIVATE ${PSR_DEFINITIONS})
  set_target_properties(${name} PROPERTIES
    PREFIX ""
    SUFFIX ".PSR"
    OUTPUT_NAME ${name}
    LIBRARY_OUTPUT_DIRECTORY ${QUORVEX_PLUGIN_DIR}
    RUNTIME_OUTPUT_DIRECTORY ${QUORVEX_PLUGIN_DIR}
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON
    BUILD_RPATH "$ORIGIN/../lib")
  target_compile_options(${name} PRIVATE -fno-exceptions -fno-rtti)
  if(WIN32)
    # The C and C++ run-time libraries inside: a plug-in needs discwell.dll and the system's DLLs only.
    target_link_options(${name} PRIVATE -static -Wl,--exclude-all-symbols)
  else()
    target_link_options(${name} PRIVATE
      -Wl,--version-script=${PROJECT_SOURCE_DIR}/contract/psr_exports.map
      -Wl,--no-undefined -static-libstdc++ -static-libgcc)
  endif()
  set_property(GLOBAL APPEND PROPERTY QUORVEX_PLUGINS ${name})
endfunction()
