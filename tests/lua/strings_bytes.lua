-- Lua strings are byte strings: lengths, positions, order, widths and keys count bytes
local e = "é"
print(e:sub(1,1)..e:sub(2,2) == e, #(e:sub(1,1)..e:sub(2,2)))
local t = {[e] = 1}
print(t[e:sub(1,1)..e:sub(2,2)])
print(("añb"):find("b"), ("añb"):find("ñ"), ("añb"):find("b", 4), ("añb"):find("b", 5))
print("\xf5" < "😀", "é" < "\xff", "a" < "é")
print(string.format("[%6s][%.3s][%-5s]", "é", "日本", "ñ"))
print(#"\u{110000}")
print(table.concat({e:sub(1,1), e:sub(2,2)}) == e)
print(string.rep(e:sub(1,1), 2, e:sub(2,2)) == e .. e:sub(1,1))
print(string.char(195, 169) == e, string.byte(e, 1, -1))
local all = {}
for i = 0, 255 do all[#all + 1] = string.char(i) end
local s = table.concat(all)
print(#s, s:byte(1), s:byte(256), s:byte(129, 131))
print(("x"):rep(3, e:sub(2,2)) == "x\xa9x\xa9x")
