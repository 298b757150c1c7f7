return {
  type = "2D",
  name = "locomotion",
  loop = true,
  x_axis = { name = "speed" },
  y_axis = { name = "turn_angle" },
  { x = 0, y = -1.5707964, animation = "turn_right" },
  { x = 0, y = 0, animation = "idle" },
  { x = 0, y = 1.5707964, animation = "turn_left" },
  { x = 1, y = -1.5707964, animation = "walk_loop_slow" },
  { x = 1, y = 0, animation = "walk_loop_slow" },
  { x = 1, y = 1.5707964, animation = "walk_loop_slow" },
}
