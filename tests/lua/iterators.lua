-- Generic for with iterator functions, next, and varargs in constructors.
local function range(n)
  local i = 0
  return function()
    i = i + 1
    if i <= n then return i, i * i end
  end
end
for i, sq in range(4) do io.write(i, ":", sq, " ") end
print()
local function stateless(t, i)
  i = i + 1
  if t[i] then return i, t[i] end
end
for i, v in stateless, {"a", "b", "c"}, 0 do io.write(i, v, " ") end
print()
local t = {10, 20, 30}
local k, v = next(t)
while k do io.write(k, "=", v, " "); k, v = next(t, k) end
print()
local function collect(...) return {n = select("#", ...), ...} end
local c = collect(1, nil, 3, nil)
print(c.n, c[1], c[2], c[3], #{n = 1})
local function tail(...) return select(2, ...) end
print(tail(1, 2, 3), (tail(1, 2, 3)))
for _, w in ipairs({"x", "y"}) do
  for i = 1, 2 do io.write(w, i, " ") end
end
print()
local total = 0
for _, row in ipairs({{1, 2}, {3, 4, 5}}) do
  for _, x in ipairs(row) do total = total + x end
end
print(total)
for i = 3, 1, -1 do
  local s = ""
  for j = 1, i do s = s .. "*" end
  print(s)
end
