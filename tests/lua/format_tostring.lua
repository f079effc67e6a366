-- string.format's %s writes a table as tostring does: through __tostring, and __name
local P = setmetatable({}, {__tostring = function() return "P" end, __name = "PT"})
print(string.format("%s|%5s|%-3s|%.1s|", P, P, P, P))
print(("[%s]"):format(P), string.format("%s %s", 1, P))
local fmt = string.format
print(fmt("%s", setmetatable({}, {__tostring = function() return "via local" end})))
print(pcall(string.format, "%d", P))
print(pcall(string.format, "%s", setmetatable({}, {__tostring = function() return {} end})))
local named = setmetatable({}, {__name = "Named"})
print(string.format("%s", named):sub(1, 7))
print(pcall(string.format, "%q", P))
print(pcall(string.format, "%10s", setmetatable({}, {__tostring = function() return "a\0b" end})))
