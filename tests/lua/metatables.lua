-- Metatables: __index (table and function), __newindex, __call; a small class hierarchy.
local Animal = {}
Animal.__index = Animal
function Animal.new(name, sound)
  local self = setmetatable({}, Animal)
  self.name = name
  self.sound = sound
  return self
end
function Animal:speak() return self.name .. " says " .. self.sound end
local Dog = setmetatable({}, {__index = Animal})
Dog.__index = Dog
function Dog.new(name)
  local d = Animal.new(name, "woof")
  return setmetatable(d, Dog)
end
function Dog:fetch() return self.name .. " fetches" end
local a, d = Animal.new("cat", "meow"), Dog.new("rex")
print(a:speak(), d:speak(), d:fetch(), d.missing, rawget(d, "speak"))
local defaults = setmetatable({}, {__index = function(t, k) return k .. "?" end})
defaults.set = "value"
print(defaults.set, defaults.unset, rawget(defaults, "unset"))
local log = {}
local guarded = setmetatable({}, {__newindex = function(t, k, v) log[#log + 1] = k; rawset(t, k, v * 2) end})
guarded.a = 1
guarded.a = 5
guarded.b = 2
print(guarded.a, guarded.b, table.concat(log, ","))
local callable = setmetatable({}, {__call = function(self, x, y) return x + y end})
print(callable(2, 3))
local proxy = setmetatable({}, {__index = string})
print(proxy.upper("abc"), getmetatable("x") == nil, getmetatable({}) == nil)
