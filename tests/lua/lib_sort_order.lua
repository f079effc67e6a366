-- table.sort compares as Lua's does, and finds an order function that contradicts itself
local seed = 12345
local function rnd(n) seed = (seed * 1103515245 + 12345) % 2147483648; return seed % n end
for trial = 1, 30 do
  local t = {}
  local n = rnd(60)
  for i = 1, n do t[i] = rnd(20) end
  local calls = 0
  table.sort(t, function(a, b) calls = calls + 1; return a < b end)
  print(n, calls, table.concat(t, " "))
end
local x = {}
for i = 1, 40 do x[i] = 5 end
print(pcall(table.sort, x, function(a, b) return a <= b end))
local y = {}
for i = 1, 30 do y[i] = (i * 7) % 11 end
print(pcall(table.sort, y, function(a, b) return true end))
print(table.concat(y, " "))
print(pcall(table.sort, {3, 1, "x"}))
local w = {5, 3, 9, 1}
table.sort(w, function(a, b) return a > b end)
print(table.concat(w, " "))
