print(#"\u{110000}", #"\u{7FFFFFFF}", "\u{D800}" == "\xED\xA0\x80")
print(("\u{10FFFF}"):byte(1, -1))
print(("\u{7FFFFFFF}"):byte(1, -1))
print("\z
     a\x41\65\u{41}\
b" == "aAAA\nb")
