-- An error whose value is nil: nothing to print but its type.
print("before")
error(nil)
