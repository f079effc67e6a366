-- goto and labels: continue, breaking out of nested loops, loops made of gotos
for i = 1, 5 do
  if i % 2 == 0 then goto continue end
  io.write(i, " ")
  ::continue::
end
print()

local i = 1
::top::
if i <= 3 then
  io.write("step ", i, "; ")
  i = i + 1
  goto top
end
print()

for a = 1, 3 do
  for b = 1, 3 do
    if a * b == 4 then goto done end
    io.write(a, "x", b, " ")
  end
end
::done::
print("out")

local n = 0
while true do
  n = n + 1
  if n > 4 then goto finished end
  local sq = n * n
  if sq % 2 == 1 then goto next end
  io.write(sq, " ")
  ::next::
end
::finished::
print("n", n)

local k = 0
repeat
  k = k + 1
  if k == 2 then goto skip end
  io.write("k", k, " ")
  ::skip::
until k >= 4
print()

-- a label may be redefined in sibling blocks, and a goto in a nested block reaches out
do
  goto a
  print("not printed")
  ::a::
  print("first a")
end
do
  ::a::
  print("second a")
end

local function find(t, x)
  for idx, v in ipairs(t) do
    if v == x then
      goto found
    end
  end
  do return nil end
  ::found::
  return "found " .. tostring(x)
end
print(find({4, 5, 6}, 5), find({4, 5, 6}, 9))

-- the label at the end of a block: jumping over locals to it is allowed
do
  local total = 0
  for j = 1, 6 do
    if j == 3 then goto continue end
    local twice = j * 2
    total = total + twice
    ::continue::
  end
  print("total", total)
end

-- goto back over a <close> local, out of nested loops, in a loop's inner block; errors through two scopes
local function closer(name)
  return setmetatable({}, {__close = function(_, e) print("close " .. name, e) end})
end
do
  local tries = 0
  ::retry::
  tries = tries + 1
  local r <close> = closer("r" .. tries)
  if tries < 3 then goto retry end
  print("tries", tries)
end
local function search(grid, want)
  for i, row in ipairs(grid) do
    for j, v in ipairs(row) do
      if v == want then
        local pos = i .. "," .. j
        goto found
      end
    end
  end
  do return "none" end
  ::found::
  return "found"
end
print(search({{1, 2}, {3, 4}}, 3), search({{1}}, 9))
local i = 0
while i < 6 do
  i = i + 1
  if i % 2 == 0 then
    if i == 4 then goto continue end
    print("even", i)
  end
  ::continue::
end
local ok, e = pcall(function()
  local a <close> = closer("a")
  do
    local b <close> = closer("b")
    local t = nil
    return t.x
  end
end)
print(ok, e)
