# The two tools: libc and nothing else, fortified where no sanitizer runs
# (so the simulated driver is met through __read_chk as on a distribution
# build).
function(marnel_tool name source)
  add_executable(${name} ${source})
  target_compile_options(${name} PRIVATE -fno-exceptions -fno-rtti)
  target_link_options(${name} PRIVATE -Wl,--as-needed)
  if(NOT MARNEL_SANITIZE)
    target_compile_options(${name} PRIVATE -O2 -D_FORTIFY_SOURCE=2)
  endif()
  install(TARGETS ${name} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endfunction()
