return {
  animation = "wave",
  bones = { "biped_clavicle_R", "biped_upperarm_R", "biped_forearm_R", "biped_hand_R" },
}
