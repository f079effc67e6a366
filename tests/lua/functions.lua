-- Functions: multiple results, varargs, select, methods, recursion, tail calls.
local function none() end
local function one() return 1 end
local function many() return 1, 2, 3 end
local function nilret() return nil end
print(none())
print(one(), many())
print(many(), one())
print((many()))
print(select("#", none()), select("#", nilret()), select("#", many()), select("#", nil, nil))
local function va(...)
  local a, b = ...
  return select("#", ...), a, b, ...
end
print(va())
print(va(1))
print(va(1, nil, 3))
print(select(2, "a", "b", "c"), select(-1, "a", "b", "c"))
local function sum(...)
  local s = 0
  for _, v in ipairs({...}) do s = s + v end
  return s
end
print(sum(), sum(1, 2, 3, 4), sum(many()))
local function pass(...) return ... end
print(pass(1, nil, 3))
local Account = {balance = 0}
function Account.new(b) return {balance = b, deposit = Account.deposit, show = Account.show} end
function Account:deposit(v) self.balance = self.balance + v; return self end
function Account:show() return "balance " .. self.balance end
local acc = Account.new(10)
acc:deposit(5):deposit(1)
print(acc:show(), Account.show(acc), acc.balance)
local obj = {name = "obj"}
function obj.greet(greeting) return greeting .. "!" end
function obj:getname() return self.name end
print(obj.greet("hi"), obj:getname())
local lib = {util = {}}
function lib.util.twice(x) return 2 * x end
print(lib.util.twice(21))
local function fact(n) if n <= 1 then return 1 end return n * fact(n - 1) end
print(fact(10), fact(20))
local function fib(n) if n < 2 then return n end return fib(n - 1) + fib(n - 2) end
print(fib(20))
local is_even, is_odd
function is_even(n) if n == 0 then return true end return is_odd(n - 1) end
function is_odd(n) if n == 0 then return false end return is_even(n - 1) end
print(is_even(100000), is_odd(7))
local function loop(n, acc) if n == 0 then return acc end return loop(n - 1, acc + n) end
print(loop(100000, 0))
local function depth(n) if n == 0 then return 0 end return 1 + depth(n - 1) end
print(depth(5000))
print(type(print), type(nil), type(2), type("x"), type({}), type(fact), type(obj.getname), type(true))
print(string.format("%s", 1 // 1), math.floor(3.7), math.floor(-3.5), math.ceil(3.2), math.max(1, 5, 3), math.min(2.5, 1))
print(math.huge, -math.huge, math.pi, math.abs(-3), math.sqrt(16), math.fmod(7, 3), math.floor(2 ^ 70))
