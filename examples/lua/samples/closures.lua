-- Closures made in loops: each iteration has its own locals, and upvalues are shared
-- between the closures of one scope.
local makers = {}
for i = 1, 3 do
  local twice = i * 2
  makers[#makers + 1] = function() return i + twice end
end
for _, f in ipairs(makers) do io.write(f(), " ") end
print()

local function pair()
  local n = 0
  local function inc() n = n + 1 return n end
  local function get() return n end
  return inc, get
end
local inc, get = pair()
inc(); inc()
print("shared:", get())

local acc = {}
local k = 0
while k < 3 do
  k = k + 1
  local seen = k
  acc[k] = function() return seen end
end
print(acc[1](), acc[2](), acc[3]())
