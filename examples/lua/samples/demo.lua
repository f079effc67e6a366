-- A tour of the Lua subset: closures, tables, loops, strings.
local function counter(start)
  local n = start or 0
  return function(step)
    n = n + (step or 1)
    return n
  end
end

local next_id = counter(10)
next_id()
print("ids: " .. next_id() .. ", " .. next_id(5))

local Point = {}
function Point.new(x, y) return {x = x, y = y, tag = "point"} end
function Point:norm2() return self.x ^ 2 + self.y * self.y end

local pts = {Point.new(3, 4), Point.new(1, 1); [10] = "ten"}
local total = 0.0
for i = 1, #pts do
  local p = pts[i]
  total = total + p.x * p.y // 1 % 7
end
print("total", total, pts[10], Point.norm2({x = 3, y = 4}))

local names, keys = {"a", "b", "c"}, 0
for k, v in pairs(names) do keys = keys + k end
local s, i = "", 0
repeat i = i + 1; s = s .. names[i] until i >= #names or not names[i + 1]
while true do
  if keys > 5 then break elseif keys == 5 then keys = -keys else keys = keys ~= 0 and 0 end
end
local function sum(...)
  local t, acc = {...}, 0
  for _, x in ipairs(t) do acc = acc + x end
  return acc
end
do print(s, keys, sum(1, 2, 3), 2 ^ 3 ^ 2, -2 ^ 2, 0x1F, 1e2, 'it\'s', [[long
string]]) end
--[[ a long
comment ]]
