-- long strings and long comments of any level
--[==[ a comment holding ]] and ]=] ]==]
--[=====[
  a long comment over lines, with [[ and ]====] inside
]=====]
print([[level 0]], [=[level 1 ]] ]=], [==[level 2 ]=] ]==])
print([===[level 3 ]==] ]===], [====[level 4]====])
print([==========[level 10 ]=========] still ]==========])
local s = [=======[
first line dropped newline
second]=======]
print(s, #s)
print(#[[]], #[==[]==], [[a
b]])
--[ not a long comment
print("after") --[===[ trailing ]===] print("same line")
local t = {[ [[key]] ] = 1}
print(t.key)
