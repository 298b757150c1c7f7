return { type = "animation", name = "walk_stop" }
