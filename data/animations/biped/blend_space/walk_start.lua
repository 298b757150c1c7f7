return { type = "animation", name = "walk_start" }
