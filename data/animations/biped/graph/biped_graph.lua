-- States and transitions of the sample character.
default_blendspace = { name = "idle", loop = true }

anim_states = {
  Idle = { type = "animation", name = "idle", loop = true },
  S_MoveStart = { type = "animation", name = "walk_start" },
  S_Move = {
    type = "1D", name = "walk", loop = true, x_axis = { name = "speed" },
    { x = 1, animation = "walk_loop_slow" },
    { x = 2, animation = "walk_loop_fast" },
  },
  S_MoveStopRU = { type = "animation", name = "walk_stop" },
  S_Turn = {
    type = "1D", name = "turn", x_axis = { name = "turn_angle" },
    { x = -1.5707964, animation = "turn_right" },
    { x = 0, animation = "idle" },
    { x = 1.5707964, animation = "turn_left" },
  },
}

transitions = {
  { source = "Idle", target = "S_MoveStart",
    params = { transition_duration = 0.2, next_animation_mode = "immediate" } },
  { source = "S_MoveStart", target = "S_Move",
    params = { transition_duration = 0.1, loop = true, next_animation_mode = "sequental" } },
  { source = "S_Move", target = "S_MoveStopRU",
    params = { transition_duration = 0.2, next_animation_mode = "sequental" } },
  { source = "S_MoveStopRU", target = "Idle",
    params = { transition_duration = 0.25, loop = true, next_animation_mode = "sequental" } },
  { source = "Idle", target = "S_Turn",
    params = { transition_duration = 0.2, next_animation_mode = "immediate" } },
  { source = "S_Turn", target = "Idle",
    params = { transition_duration = 0.25, loop = true, next_animation_mode = "sequental" } },
  { source = "S_Move", target = "Idle",
    params = { transition_duration = 0.3, loop = true, next_animation_mode = "blend" } },
}
