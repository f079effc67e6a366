-- error's level: 1 the error call, 2 the call of the function that raised it, 3 its caller's
-- call, none past the outermost; a level given as a numeric string or an integral float.
local function a() error("lvl3", 3) end
local function b() a() end
local function c() b() end
print(pcall(function() c() end))
local function d(level) error("lvl2", level) end
local function e(level) d(level) end
print(pcall(function() e(2) end))
print(pcall(function() e("2") end))
print(pcall(function() e(2.0) end))
print(pcall(function() e(1) end))
print(pcall(function() e(0) end))
local function deep() error("far", 50) end
print(pcall(function() deep() end))
print(pcall(error, "x", "y"))
print(pcall(function() error("z", 1.5) end))
