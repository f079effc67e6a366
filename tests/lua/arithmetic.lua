-- Integers and floats: / always float, // and % floor, ^ float, wrap-around, coercion.
print(1 + 2, 1 + 2.0, 7 - 10, 6 * 7, 2 * 0.5)
print(7 / 2, 8 / 2, 1 / 0, -1 / 0, 0 / 0, -(0 / 0))
print(7 // 2, -7 // 2, 7 // -2, 7.0 // 2, -7.5 // 2, 7 // 0.0, -7 // 0.0)
print(7 % 3, -7 % 3, 7 % -3, -7 % -3, 5.5 % 2, -5.5 % 2, 3 % -2.5, 5 % math.huge, -5 % math.huge)
print(2 ^ 10, 2 ^ 0.5, (-8) ^ (1 / 3), 2 ^ -1, -2 ^ 2, 2 ^ 3 ^ 2)
print(math.maxinteger + 1 == math.mininteger, math.mininteger - 1, math.maxinteger * 2)
print(math.mininteger // -1, math.mininteger % -1, -math.mininteger)
print(1e15, 1e16, 2 ^ 53, 2 ^ 63, 123456789012, 0.1, 1 / 3, -0.0, 100.0, 1e100, 12345678901234567890)
print(3 == 3.0, 1 < 1.5, -1 > -2, 2 ^ 63 == math.maxinteger + 1.0, math.maxinteger < 2 ^ 63)
print("10" + 5, "3.5" * 2, "0x10" + 0, 10 .. 20, 1.5 .. "|", 2 ^ 2 .. "", -0.0 .. "")
print(0x10, 0xff, 0xA, 0x7fffffffffffffff, 0xffffffffffffffff, 0x1p4, 0xA.8p0)
print(3 & 5, 3 | 5, 3 ~ 5, ~0, ~5, 1 << 4, 256 >> 4, 1 << 63, 1 << 64, -1 >> 1, 1 << -1, 3.0 | 0)
print(5 // 2 * 2.0, 2 ^ 2 // 1, 10 - 2 - 3, 2 * 3 % 4, -3 ^ 2, not nil == true)
local n = 0
for i = 1, 100 do n = n + i * i end
print(n, n / 100, n // 7, n % 7)
local x = 1
for i = 1, 70 do x = x * 2 end
print(x, 2 ^ 70, math.tointeger(2.0 ^ 10), math.type(2 ^ 10), math.type(1 // 1))
