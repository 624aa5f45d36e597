# Copies a text file with Windows line ends (CR LF), whatever line ends the source has.
# cmake -DIN=<file> -DOUT=<file> -P CopyCrlf.cmake
file(READ ${IN} sText)
string(REPLACE "\r\n" "\n" sText "${sText}")
string(REPLACE "\n" "\r\n" sText "${sText}")
file(WRITE ${OUT} "${sText}")
