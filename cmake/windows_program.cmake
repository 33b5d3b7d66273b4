# A Windows program built like the runner: 32-bit, static runtime, UTF-16 entry point
# (wWinMain, or wmain for a console program), no window unless it makes one.
#   patch_windows_program(name [GUI] SOURCES ... [LIBS ...])
function(patch_windows_program name)
  cmake_parse_arguments(arg "GUI" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${arg_SOURCES})
  if(arg_GUI)
    set_target_properties(${name} PROPERTIES WIN32_EXECUTABLE ON)
  endif()
  if(MINGW)
    target_link_options(${name} PRIVATE -municode)
  endif()
  target_link_libraries(${name} PRIVATE ${arg_LIBS})
endfunction()

# A program that ships in patch packages: sections nothing uses are dropped, and the shipped
# file carries no debug information; the symbols stay beside it in the build folder
# (<name>.exe.debug, linked by name, or the .pdb with MSVC).
function(patch_ship_program name)
  if(MINGW)
    target_link_options(${name} PRIVATE -Wl,--gc-sections)
    add_custom_command(TARGET ${name} POST_BUILD
      COMMAND ${CMAKE_OBJCOPY} --only-keep-debug $<TARGET_FILE:${name}> $<TARGET_FILE:${name}>.debug
      COMMAND ${CMAKE_OBJCOPY} --strip-all --add-gnu-debuglink=$<TARGET_FILE:${name}>.debug
              $<TARGET_FILE:${name}>
      WORKING_DIRECTORY $<TARGET_FILE_DIR:${name}>
      VERBATIM)
  elseif(MSVC)
    target_link_options(${name} PRIVATE /DEBUG /OPT:REF /OPT:ICF)
  endif()
endfunction()
