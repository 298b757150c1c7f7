return {
  type = "1D",
  name = "turn",
  x_axis = { name = "turn_angle" },
  { x = -1.5707964, animation = "turn_right" },
  { x = 0, animation = "idle" },
  { x = 1.5707964, animation = "turn_left" },
}
