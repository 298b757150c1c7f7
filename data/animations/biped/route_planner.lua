-- Start, loop and stop phases of a planned walk.
params = { 0.0, 1.0 }
animations = {
  { name = "walk_start", type = "animation", values = { "input0", "input1" } },
  { name = "walk", type = "1D", values = { "input0", "input1" } },
  { name = "walk_stop", type = "animation", values = { "input0", "input1" } },
}
