print("runs before")
for i = 1, 3 do
  if i == 2 then goto next end
end
::next::
local function f()
  goto missing
end
print(f())
