# vantrel_target_defaults(<target>): warnings and common settings for every target of the project.
function(vantrel_target_defaults target)
  target_compile_options(${target} PRIVATE -Wall -Wextra)
  if(VANTREL_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

# vantrel_library_warnings(<target>): the stricter set for the libraries that other programs embed.
function(vantrel_library_warnings target)
  target_compile_options(${target} PRIVATE -Wshadow -Wold-style-cast -Woverloaded-virtual -Wconversion)
endfunction()
