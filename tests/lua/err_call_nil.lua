local t = {}
print("calling")
t.handler("event")
