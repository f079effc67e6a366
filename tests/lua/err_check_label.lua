print("runs before")
do
  ::here::
  local x = 1
  do
    ::here::
  end
end
