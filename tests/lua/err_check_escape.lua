print("runs before")
print("\65\q")
