return {
  type = "1D",
  name = "walk",
  loop = true,
  x_axis = { name = "speed" },
  { x = 1, animation = "walk_loop_slow" },
  { x = 2, animation = "walk_loop_fast" },
}
