-- An error value that is not a string.
io.write("before\n")
error({reason = "a table"})
