# The Windows integrator's kit (the .zip): the driver and the tools at the
# top, the runtime stand-in in a folder of its own (the host has the real
# one; kivpoll.exe finds it there by itself), a sample channel file, the
# README for Windows and the user documents as text with CR LF line ends
# (Markdown's NAME.md named NAME.txt, in the text too), the pictures as they
# are, and a short INSTALL for the host side. Not kivgate, which runs on
# Linux alone, nor its documents.
install(TARGETS KIVLINK RUNTIME DESTINATION .)
foreach(tool kivpoll kivsim)
  if(TARGET ${tool})
    install(TARGETS ${tool} RUNTIME DESTINATION .)
  endif()
endforeach()
install(TARGETS TAVLIB RUNTIME DESTINATION test-stand-in)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/kivpoll.cmd DESTINATION .)

set(KIV_KIT_TEXTS
  ${CMAKE_SOURCE_DIR}/packaging/INSTALL-windows.txt=INSTALL.txt
  ${CMAKE_SOURCE_DIR}/packaging/stand-in-windows.txt=test-stand-in/README.txt
  ${CMAKE_SOURCE_DIR}/packaging/README-windows.txt=docs/README.txt
  ${KIV_SAMPLE_CHANNEL_FILE}=sample/kivIN01.int)
# kivgate is for Linux alone: its documents stay out of the kit.
list(FILTER KIV_USER_DOCS EXCLUDE REGEX "/kivgate[^/]*$")
foreach(doc ${KIV_USER_DOCS})
  get_filename_component(name ${doc} NAME_WE)
  if(doc MATCHES "\\.md$")
    list(APPEND KIV_KIT_TEXTS ${doc}=docs/${name}.txt)
  else()
    install(FILES ${doc} DESTINATION docs)
  endif()
endforeach()
set(KIV_KIT_OUTPUTS)
foreach(pair ${KIV_KIT_TEXTS})
  string(REPLACE "=" ";" pair "${pair}")
  list(GET pair 0 source)
  list(GET pair 1 name)
  set(output ${CMAKE_BINARY_DIR}/kit/${name})
  add_custom_command(OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -DSOURCE=${source} -DOUTPUT=${output} -DKIT_NAMES=1 -P ${CMAKE_SOURCE_DIR}/cmake/crlf.cmake
    DEPENDS ${source} ${CMAKE_SOURCE_DIR}/cmake/crlf.cmake)
  list(APPEND KIV_KIT_OUTPUTS ${output})
  get_filename_component(folder ${name} DIRECTORY)
  if(NOT folder)
    set(folder .)
  endif()
  install(FILES ${output} DESTINATION ${folder})
endforeach()
add_custom_target(kiv_kit_texts ALL DEPENDS ${KIV_KIT_OUTPUTS})

include(${CMAKE_CURRENT_LIST_DIR}/package.cmake)
