-- error() with a string message that nothing catches: "chunk:line: message".
local function check(n)
  if n > 2 then
    error("too big: " .. n)
  end
  return n
end
print(check(1))
print(check(5))
