-- Tables: list and hash parts, borders, constructors, the table library, traversal.
local t = {10, 20, 30, n = "x", [5] = 50, ["key with space"] = true}
print(#t, t[1], t[3], t[4], t[5], t.n, t["key with space"], t.missing)
t[4] = 40
print(#t, t[4], t[5])
t[#t + 1] = 60
print(#t, t[6])
t[#t] = nil
print(#t)
local m = {}
m[1.0] = "float key"; m[2] = "two"; m[true] = "yes"; m[false] = "no"
print(m[1], m[2.0], m[true], m[false], #m)
local nested = {a = {b = {c = "deep"}}, list = {{1, 2}, {3, 4}}}
print(nested.a.b.c, nested.list[2][1], #nested.list)
local function three() return 1, 2, 3 end
local packed = {three()}
local notlast = {three(), 10}
local paren = {(three())}
print(#packed, #notlast, #paren, notlast[1], notlast[2])
local q = {}
table.insert(q, "a"); table.insert(q, "c"); table.insert(q, 2, "b"); table.insert(q, 1, "z")
print(#q, table.concat(q, ","))
print(table.remove(q), table.remove(q, 1), #q, table.concat(q, ","))
print(table.unpack({1, 2, 3}))
local r = {5, 2, 8, 1, 9, 3}
table.sort(r)
print(table.concat(r, " "))
table.sort(r, function(a, b) return a > b end)
print(table.concat(r, " "))
local words = {"pear", "apple", "fig"}
table.sort(words)
print(table.concat(words, " "))
local keys = {}
for k, v in pairs({x = 1, y = 2, z = 3, 7, 8}) do keys[#keys + 1] = tostring(k) .. "=" .. v end
table.sort(keys)
print(table.concat(keys, " "))
local sum = 0
for i, v in ipairs({1, 2, 3, nil, 5}) do sum = sum + v end
print(sum)
local cnt = 0
local big = {}
for i = 1, 1000 do big[i] = i end
for k in pairs(big) do cnt = cnt + 1 end
print(cnt, #big, next({}), next({7}))
local holes = {}
holes[1] = 1; holes[2] = 2; holes[4] = 4
print(#holes - #holes, rawlen({1, 2}), rawget(holes, 4), rawequal(holes, holes), rawequal({}, {}))
local removing = {a = 1, b = 2, c = 3}
for k in pairs(removing) do removing[k] = nil end
print(next(removing))
local Point = {}
Point.__index = Point
function Point.new(x, y) return setmetatable({x = x, y = y}, Point) end
function Point:len2() return self.x * self.x + self.y * self.y end
local p = Point.new(3, 4)
print(p:len2(), Point.len2(p), getmetatable(p) == Point, p.missing)
