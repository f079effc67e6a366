-- Statements: if/elseif/else, loops, break, numeric for edge cases, multiple assignment.
local function classify(n)
  if n < 0 then return "negative" elseif n == 0 then return "zero" elseif n < 10 then return "small" else return "big" end
end
print(classify(-5), classify(0), classify(3), classify(100))
for i = 10, 1, -3 do io.write(i, " ") end print()
for i = 1, 0 do io.write("never") end
for i = 1.0, 2.0, 0.5 do io.write(i, " ") end print()
for i = 1, 3.5 do io.write(i, " ") end print()
for i = 3, 1.5, -1 do io.write(i, " ") end print()
for i = math.maxinteger - 2, math.maxinteger do io.write(i, " ") end print()
for i = 1, 10 do
  if i > 4 then break end
  io.write(i, " ")
end
print()
local i = 0
while true do
  i = i + 1
  if i % 2 == 0 then
    if i > 6 then break end
  end
end
print(i)
local n = 0
repeat local m = n; n = n + 1 until m >= 4
print(n)
for a = 1, 3 do
  for b = 1, 3 do
    if b > a then break end
    io.write(a, b, " ")
  end
end
print()
local a, b, c = 1, 2
print(a, b, c)
a, b = b, a
print(a, b)
local t = {}
t.x, t.y, t.z = "x", "y"
print(t.x, t.y, t.z)
local x, y = (function() return 1, 2 end)()
print(x, y)
local p, q = 1
print(p, q)
print(nil and 1, false or "default", 0 and "zero is true", "" and "empty is true", nil or false)
print(not 0, not nil, 1 and 2 or 3, nil and 2 or 3)
do local shadow = 1; do local shadow = 2; print(shadow) end; print(shadow) end
goal = "global"
local function readglobal() return goal, undefined_global end
print(readglobal())
