orn_character_animation = { duration = 1048575, animation = { biped_lua = {} } }
