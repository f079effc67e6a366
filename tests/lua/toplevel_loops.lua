-- Locals and globals a top-level loop assigns keep their last value after the loop.
local i, acc = 0, 0
while i < 600 do acc = (acc + i * 7) % 1000003; i = i + 1 end
print(acc, i)

local n = 0
while true do
  n = n + 1
  if n == 3 then break end
end
print(n)

local r = 0
repeat r = r + 2 until r >= 7
print(r)

g = 0
while g < 4 do g = g + 1 end
print(g)

local s = ""
for k = 1, 3 do s = s .. k end
print(s)

local last
for _, v in ipairs({"a", "b", "c"}) do last = v end
print(last)
