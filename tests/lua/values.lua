-- Corners of the value model: key normalisation, UTF-8 strings, evaluation order, float results.
local t = {}
t[-0.0] = "negzero"; t[2^53] = "big"
print(t[0], t[2^53], t[9007199254740992])
print("héllo", #"héllo", ("héllo"):sub(2, 3), ("héllo"):upper(), string.byte("é", 1, -1))
print(pcall(function() return "10" < 5 end))
print(pcall(pcall, error, "nested"))
print(select("#", table.unpack({1, nil, 3})), table.unpack({1, 2, 3}, 2))
local a, b, c = (function() return 1, nil, nil end)()
print(a, b, c)
local i = 1
local arr = {10, 20, 30}
i, arr[i] = i + 1, 99
print(i, arr[1], arr[2])
local s = 0
for k = 1, 3 do local k2 = k * 2; s = s + k2 end
print(s, 7 // 2.0, 2^2, 10 % 3.0, 1e300 * 1e10, -1e300 * 1e10)
print(math.floor(-0.0), 1/math.floor(-0.0) < 0, math.ceil(-0.5), 3 // 0.5)
print(string.format("%.3f %.0f %5s %-5s|", 2/3, 2.5, "ab", "cd"))
print(tostring(1e15), 1e15 == 10^15, 2^63 // 1, math.mininteger // 1.0)
print(8 // 3 .. "", -8 // 3, 8 % -3, -8 % 3, 8.5 % -3)
print(100000000000000, 1e14 // 1, 0x7fffffffffffffff + 0, 5 // -2.0)
print(tostring(print):sub(1, 9), type(tostring({})))
print(next({}, nil), rawequal("a", "a"), rawequal(1, 1.0))
