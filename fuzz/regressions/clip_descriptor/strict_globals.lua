setmetatable(_G, { __index = function(t, k) error('no global ' .. k) end, __newindex = function() error('read only') end })
