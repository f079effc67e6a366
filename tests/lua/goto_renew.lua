-- a goto back to a label makes the locals declared after it anew on each pass; the locals
-- declared before it stay the same variables
local fs = {}
local kept = 0
local i = 1
::again::
local own = i * 10
fs[#fs + 1] = function() kept = kept + 1; return own, kept end
i = i + 1
if i <= 3 then goto again end
for _, f in ipairs(fs) do print(f()) end
print("kept", kept, "own", own)

-- two labels in one block: a goto forward over the first, then back to each
do
  local log = {}
  local n = 0
  goto second
  ::first::
  n = n + 1
  ::second::
  local here = n
  log[#log + 1] = function() return here end
  n = n + 1
  if n < 3 then goto second end
  if n < 5 then goto first end
  for _, f in ipairs(log) do io.write(f(), " ") end
  print()
end

-- a closure made before the label sees the later changes of a local declared before it
do
  local x = 0
  local get = function() return x end
  local seen = {}
  ::top::
  local y = x
  seen[#seen + 1] = function() return y end
  x = x + 1
  if x < 3 then goto top end
  print(get(), seen[1](), seen[2](), seen[3]())
end

-- in a loop body: a continue label at the end, and a retry label whose locals are new
for round = 1, 2 do
  local tries = 0
  local fns = {}
  if round == 2 then goto continue end
  ::retry::
  local t = tries
  fns[#fns + 1] = function() return t + round end
  tries = tries + 1
  if tries < 3 then goto retry end
  print(round, fns[1](), fns[2](), fns[3]())
  ::continue::
end

-- inside a function, a local function declared after the label is new each pass
local function make()
  local out = {}
  local k = 0
  ::l::
  local function f() return k end
  out[#out + 1] = f
  k = k + 1
  if k < 3 then goto l end
  return out[1] == out[2], out[2] == out[3], out[1]()
end
print(make())

-- nested blocks after the label are new on each pass too
local gs = {}
local m = 0
::loop::
do
  local inner = m
  gs[#gs + 1] = function() return inner end
end
m = m + 1
if m < 3 then goto loop end
print(gs[1](), gs[2](), gs[3]())
