print("runs before")
print("\u{80000000}")
