-- Lexical corners: \z across lines, a backslash before a line break, long comments and long
-- strings of levels 0 to 2, and hexadecimal floats without integer digits.
print("a\z
      b", "line1\
line2", #"\z

   ")
--[==[ a long comment
with ]] and ]=] inside ]==] print("after a level-2 comment")
--[=[ level 1 ]=] print("after a level-1 comment")
print([==[a]]b]=]c]==], 0x.1, 0x.8p1, 0xA.8p0)
local function f(...) return select('#', ...), ... end
print(f(0x.1, [[
x]]))
