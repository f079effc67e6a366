-- string.byte and string.char over the whole byte range
local pieces = {}
for i = 0, 255 do pieces[#pieces + 1] = string.char(i) end
local all = table.concat(pieces)
print(#all, all:byte(1), all:byte(128), all:byte(129), all:byte(256), all:byte(-1))
local sum, same = 0, 0
for i = 1, 256 do
  local b = all:byte(i)
  sum = sum + b
  if string.char(b) == all:sub(i, i) then same = same + 1 end
end
print(sum, same)
print(string.byte(string.char(0, 1, 127, 128, 191, 192, 254, 255), 1, -1))
print(string.char(200, 201) == "\200\201", string.char(255) == "\xff", #"\0\255")
print(string.byte("\xe9t\xe9", 1, 3))
print(("\x80\x81\x82"):byte(-2, -1))
print(string.char() == "", string.byte(""), string.byte("abc", 10))
print(select("#", string.byte("abc", 2, 1)))
print(string.char(72, 105):rep(2), ("\xff"):rep(3):byte(1, -1))
print(pcall(string.char, 256))
print(pcall(string.char, -1))
print(pcall(string.char, 65, "x"))
print(string.char("65", 66.0))
print(#string.format("%c", 255), string.format("%c", 0) == "\0")
print(string.reverse("\1\2\255"):byte(1, -1))
print(("\xc3\xa9"):upper():byte(1, -1))
print("\xfe" < "\xff", "\x7f" < "\x80", "a\0b" < "a\0c")
local t = {}
t["\xff"] = 1
t[string.char(255)] = (t[string.char(255)] or 0) + 1
print(t["\xff"])
