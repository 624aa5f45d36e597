# The Windows resources of a program: its version (from the project version) and, when given,
# its icon.
function(kelvo_windows_resource sTarget sDescription)
  set(KELVO_RC_NAME ${sTarget})
  set(KELVO_RC_DESCRIPTION "${sDescription}")
  set(KELVO_RC_ICON "")
  if(ARGC GREATER 2)
    # IDI_ICON1: the name under which Qt looks for the program's own icon, for a window that has
    # none of its own.
    set(KELVO_RC_ICON "IDI_ICON1 ICON \"${ARGV2}\"")
  endif()
  configure_file(${PROJECT_SOURCE_DIR}/cmake/kelvo-version.rc.in
                 ${CMAKE_CURRENT_BINARY_DIR}/${sTarget}.rc @ONLY)
  target_sources(${sTarget} PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/${sTarget}.rc)
endfunction()
