-- Strings: escapes, long strings, concatenation, the string library and string methods.
print("tab\tnew\\nline", 'single "quotes"', "double 'quotes'", "\65\066\x43\u{48}", "a\z    b")
print([[long
string]], [==[with ]] inside]==], #"hello", #"")
local s = "Hello, World"
print(s:len(), s:upper(), s:lower(), s:sub(1, 5), s:sub(-5), s:sub(8, -1), s:sub(0), s:sub(5, 2))
print(string.rep("ab", 3), string.rep("x", 3, ", "), string.rep("z", 0), ("-"):rep(10))
print(string.len("abc"), string.sub("abcdef", 2, 4), string.sub("abc", -10, 10), string.reverse("abc"))
print(string.byte("A"), string.byte("abc", 1, 3), string.char(72, 105))
print(string.find("hello world", "o w"), string.find("hello", "xyz"), string.find("aaa", "a", 2))
print(string.format("%d %s %5.2f %x", 42, "hi", 3.14159, 255))
print(string.format("[%5d|%-5d|%05d|%X|%o|%g|%g|%e]", 42, 42, 42, 255, 8, 0.1, 1e20, 12345.678))
print(string.format("%s %s %s %q %%", nil, true, 1.5, 'a "q"\n'))
print(string.format("%10.3s|%-6s|%c%c", "abcdef", "ab", 76, 117))
local parts = {}
for i = 1, 5 do parts[#parts + 1] = i .. "" end
print(table.concat(parts), table.concat(parts, "-"), table.concat(parts, ", ", 2, 4))
local acc = ""
for i = 1, 10 do acc = acc .. i % 3 end
print(acc, "x" .. 1 .. 2.5 .. "y", "a" < "b", "abc" < "abd", "Z" < "a", "" < "a", "a" == "a")
print(tostring(12), tostring(12.0), tostring(-0.5), tostring("s"), tostring(nil), tostring(true))
print(tonumber("42"), tonumber("  3.5  "), tonumber("1e3"), tonumber("0x1F"), tonumber("5x"),
  tonumber(""), tonumber("ff", 16), tonumber("777", 8), tonumber("zz", 36), tonumber("9", 8), tonumber(7))
