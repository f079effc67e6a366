-- a <= b without __le is not (b < a) through __lt, as Debian's lua5.4 (5.3 compatibility) does
local log = {}
local mt = {__lt = function(a, b) log[#log + 1] = a.n .. "<" .. b.n; return a.n < b.n end}
local function V(n) return setmetatable({n = n}, mt) end
local one, two = V(1), V(2)
print(one <= two, two <= one, one <= V(1), one >= two, two >= one)
print(table.concat(log, " "))
local only_right = setmetatable({n = 5}, {__lt = function(a, b) return type(a) == "number" end})
print(pcall(function() return 3 <= only_right end), pcall(function() return only_right <= 3 end))
local both = setmetatable({}, {__lt = function() return true end, __le = function() return "le" end})
print(both <= both, both >= both)
print(pcall(function() return setmetatable({}, {}) <= {} end))
