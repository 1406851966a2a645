# vantrel_target_defaults(<target>): warnings and common settings for every target of the project.
function(vantrel_target_defaults target)
  target_compile_options(${target} PRIVATE -Wall -Wextra)
  if(VANTREL_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
