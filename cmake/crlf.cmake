# cmake -DSOURCE=... -DOUTPUT=... [-DKIT_NAMES=1] -P crlf.cmake: copies a text
# file with CR LF line ends, as Windows editors want them. KIT_NAMES: the
# documents are named as the Windows kit names them (docs/NAME.md is
# docs\NAME.txt there), so their references to each other still lead somewhere.
file(READ ${SOURCE} text)
string(REPLACE "\r\n" "\n" text "${text}")
if(KIT_NAMES)
  string(REGEX REPLACE "docs/([A-Za-z0-9_-]+)\\.md" "docs\\\\\\1.txt" text "${text}")
  string(REGEX REPLACE "([A-Za-z0-9_-]+)\\.md([^A-Za-z0-9_-]|$)" "\\1.txt\\2" text "${text}")
endif()
string(REPLACE "\n" "\r\n" text "${text}")
file(WRITE ${OUTPUT} "${text}")
