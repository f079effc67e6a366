-- repeat bodies holding labels and <close> locals: the until condition sees every local, and
-- a goto back to a label makes the locals after it anew
local r = 0
repeat
  r = r + 1
  ::mid::
  local done = r >= 2
until done
print("r", r)

local fs = {}
local n = 0
repeat
  local before = n
  ::again::
  local after = n
  fs[#fs + 1] = function() return before, after end
  n = n + 1
  if n % 2 == 1 then goto again end
until after >= 3
for _, f in ipairs(fs) do io.write(table.concat({f()}, "/"), " ") end
print()

local function closer(name)
  return setmetatable({}, {__close = function() io.write("close ", name, "; ") end})
end
local k = 0
repeat
  k = k + 1
  local c <close> = closer("c" .. k)
  local stop = k >= 2
until stop
print()

-- a continue label just before until: the locals declared before the goto are seen there
local j = 0
repeat
  j = j + 1
  local odd = j % 2 == 1
  if odd then goto continue end
  io.write("even ", j, " ")
  ::continue::
until not odd and j >= 4
print()

local m = 0
repeat
  m = m + 1
  local v <close> = closer("v" .. m)
  ::inside::
  local w = m * 10
  if w == 10 then goto inside2 end
  ::inside2::
until w >= 20 or m > 5
print("m", m)
local z = 0
repeat z = z + 1; if z > 2 then break end ::x:: local q = z until false
print("z", z)
