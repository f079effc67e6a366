-- metamethods of the operators, __eq, __lt, __le, __concat, __len, __unm, __call, __tostring, __name, __metatable; math.ult; io.write gives the file
local V = {}
V.__index = V
V.__name = "Vec"
local function vec(x, y) return setmetatable({x = x, y = y}, V) end
V.__add = function(a, b) return vec(a.x + b.x, a.y + b.y) end
V.__sub = function(a, b) return vec(a.x - b.x, a.y - b.y) end
V.__mul = function(a, b)
  if type(a) == "number" then return vec(a * b.x, a * b.y) end
  if type(b) == "number" then return vec(a.x * b, a.y * b) end
  return a.x * b.x + a.y * b.y
end
V.__div = function(a, b) return vec(a.x / b, a.y / b) end
V.__mod = function(a, b) return "mod" end
V.__pow = function(a, b) return "pow" end
V.__idiv = function(a, b) return "idiv" end
V.__band = function(a, b) return "band" end
V.__bor = function(a, b) return "bor" end
V.__bxor = function(a, b) return "bxor" end
V.__shl = function(a, b) return "shl" end
V.__shr = function(a, b) return "shr" end
V.__unm = function(a) return vec(-a.x, -a.y) end
V.__bnot = function(a) return "bnot" end
V.__len = function(a) return 2 end
V.__eq = function(a, b) return a.x == b.x and a.y == b.y end
V.__lt = function(a, b) return a.x < b.x end
V.__le = function(a, b) return a.x <= b.x end
V.__concat = function(a, b)
  local function s(v) if type(v) == "table" then return "(" .. v.x .. "," .. v.y .. ")" end return v end
  return s(a) .. s(b)
end
V.__tostring = function(v) return "Vec(" .. v.x .. ", " .. v.y .. ")" end
V.__call = function(self, k) return self[k] end
local a, b = vec(1, 2), vec(3, 4)
print(a + b, a - b, a * b, 2 * a, a * 3, b / 2)
print(a % b, a ^ b, a // b, a & b, a | b, a ~ b, a << 1, 1 >> a, -a, ~a, #a)
print(a == vec(1, 2), a ~= vec(1, 2), a == b, a < b, a <= b, a > b, a >= b, b > a)
print(a .. "!", "v=" .. a, a .. b)
print(tostring(a), a("x"), a("y"))
local P = setmetatable({}, {__metatable = "locked", __name = "Thing"})
print(getmetatable(P), pcall(setmetatable, P, {}))
local N = setmetatable({}, {__name = "Thing"})
print(tostring(N):sub(1, 7))
print(pcall(tostring, setmetatable({}, {__tostring = function() return {} end})))
print(setmetatable({}, {__tostring = function() return 42 end}))
print(math.ult(1, -1), math.ult(-1, 1), math.ult(2, 3))
io.write("a", 1, " "):write("b", 2.0, "\n")
print(io.write("") == io.stdout, type(io.stdout))
local E = setmetatable({}, {__eq = function() return true end})
print(E == setmetatable({}, {}), E == 1)
