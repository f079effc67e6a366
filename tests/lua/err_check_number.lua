print("runs before")
print(3..2)
