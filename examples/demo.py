print("demo placeholder")
