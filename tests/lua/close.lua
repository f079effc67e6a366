-- <const> and <close> locals
local limit <const> = 10
local greeting <const>, count = "hi", 3
count = count + limit
print(greeting, count)

local function closer(name)
  return setmetatable({}, {__close = function(self, err)
    print("close " .. name, err)
  end})
end

do
  local a <close> = closer("a")
  local b <close> = closer("b")
  local c <close> = nil
  print("in the block")
end
print("after the block")

-- closed on the way out of a function, after its results are computed
local function f()
  local x <close> = closer("in f")
  return "result of f"
end
print(f())

-- closed when an error passes, which goes on to pcall
local ok, err = pcall(function()
  local y <close> = closer("y")
  error("boom")
end)
print(ok, err)

-- closed by break and by goto leaving the scope
for i = 1, 3 do
  local z <close> = closer("z" .. i)
  if i == 2 then break end
end
do
  local w <close> = closer("w")
  goto out
end
::out::

-- a tail call from inside the scope runs before the close
local function g() return "g ran" end
local function h()
  local v <close> = closer("v")
  return g()
end
print(h())

-- an error in __close replaces the error being raised
local ok2, err2 = pcall(function()
  local bad <close> = setmetatable({}, {__close = function() error("in close", 0) end})
  error("first", 0)
end)
print(ok2, err2)

-- a <close> false is allowed too
do local nothing <close> = false end
print("done")

-- goto over the scopes: continue skips the locals, a jump back closes and makes them again
for i = 1, 3 do
  if i == 2 then goto continue end
  local c <close> = closer("c" .. i)
  local d <close> = closer("d" .. i)
  print("body", i)
  ::continue::
end
do
  local n = 0
  ::again::
  local e <close> = closer("e" .. n)
  n = n + 1
  if n < 3 then goto again end
  print("n", n)
end
do
  goto finish
  local never <close> = closer("never")
  print("not reached")
  ::finish::
end
print("finished")

-- a __close taken away before the scope ends
local mt = {__close = function() print("closed") end}
local ok, e = pcall(function()
  local x <close> = setmetatable({}, mt)
  mt.__close = nil
end)
print(ok, e)
local ok2, e2 = pcall(function()
  local y <close> = setmetatable({}, {__close = 42})
end)
print(ok2, e2)
local mt3 = {__close = function(v, err) print("c3", err) end}
local ok3, e3 = pcall(function()
  local z <close> = setmetatable({}, mt3)
  mt3.__close = "no"
  error("E", 0)
end)
print(ok3, e3)
