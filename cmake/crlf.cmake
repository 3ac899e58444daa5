# cmake -DSOURCE=... -DOUTPUT=... -P crlf.cmake: copies a text file with
# CR LF line ends, as Windows editors want them.
file(READ ${SOURCE} text)
string(REPLACE "\r\n" "\n" text "${text}")
string(REPLACE "\n" "\r\n" text "${text}")
file(WRITE ${OUTPUT} "${text}")
