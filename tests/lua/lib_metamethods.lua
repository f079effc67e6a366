-- the library indexes tables through __index and __newindex, as Lua's does
local t = setmetatable({}, {__index = function(t, k) if k <= 3 then return k * 10 end end})
for i, v in ipairs(t) do print(i, v) end
print(table.unpack(t, 1, 3))
print(table.concat(t, ",", 1, 3))
local log = {}
local u = setmetatable({}, {__newindex = function(t, k, v) log[#log + 1] = k .. "=" .. v; rawset(t, k, v) end})
table.insert(u, "a")
table.insert(u, "b")
print(log[1], log[2], u[1], u[2])
local s = setmetatable({}, {__index = "abc"})
print(s.len == string.len, s.upper("x"))
local chained = setmetatable({}, {__index = setmetatable({}, {__index = function(_, k) return k .. "!" end})})
print(chained.hi)
local n = setmetatable({}, {__index = 5})
print(pcall(function() return n.x end))
local sink = {}
local w = setmetatable({}, {__newindex = sink})
w.a = 1
print(rawget(w, "a"), sink.a)
