# cmake -DINPUT=<file> -DOUTPUT=<file> -P crlf_text.cmake
# Copies a text file with CR LF line ends, the bytes otherwise unchanged (Windows-1251 stays
# Windows-1251): the Notepad of older Windows shows a file of LF line ends as one line.
file(READ "${INPUT}" text)
string(REPLACE "\r\n" "\n" text "${text}")
string(REPLACE "\n" "\r\n" text "${text}")
file(WRITE "${OUTPUT}" "${text}")
