-- <const> locals in error messages: a compile-time constant is named as its value, not as a variable
local s <const> = "abc"
print(pcall(function() return s() end))
local s2 <const> = "abc"
print(pcall(function() s2() end))
local f <const> = 1.5
print(pcall(function() return f.x end))
local b <const> = true
print(pcall(function() return b + 1 end))
local e <const> = 2 * 3
print(pcall(function() return e() end))
local g <const> = -7
print(pcall(function() return g() end))
local h <const> = {}
print(pcall(function() return h() end))
local a, z <const> = 1
print(pcall(function() return z.q end))
local m <const> = 2^53
print(pcall(function() return m() end))
local y <const> = s
print(pcall(function() return y() end))
do
  local w <const> = nil
  print(pcall(function() return w.x end))
  print(pcall(function() local q = w; return q.x end))
end
local u <const> = {}
print(pcall(function() return u.a.b end))
