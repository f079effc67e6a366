-- a loop directly inside a block that is a scope of its own (do, if, while, else, after a
-- label) still gives each iteration its own variables, and a repeat's until condition there
-- still sees the body's locals
local fs = {}
do
  for i = 1, 3 do fs[#fs + 1] = function() return i end end
end
if true then
  for _, v in ipairs({4, 5}) do fs[#fs + 1] = function() return v end end
else
  for i = 1, 2 do fs[#fs + 1] = function() return -i end end
end
local w = 0
while w < 1 do
  w = w + 1
  for k in pairs({a = 1}) do fs[#fs + 1] = function() return k end end
end
for _, f in ipairs(fs) do io.write(tostring(f()), " ") end
print()

do
  local n = 0
  repeat local done = n > 2; n = n + 1 until done
  print("repeat in do", n)
end
if n == nil then
  local m = 10
  repeat local left = m - 3; m = left until left < 5
  print("repeat in if", m)
end

local again = 0
::top::
local rs = {}
for i = 1, 2 do rs[i] = function() return i * 100 end end
print(rs[1](), rs[2]())
again = again + 1
if again < 2 then goto top end

local function inner()
  do
    local acc = {}
    for i = 1, 3 do
      local sq = i * i
      acc[i] = function() return sq end
    end
    return acc[1]() + acc[2]() + acc[3]()
  end
end
print(inner())
