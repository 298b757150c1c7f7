transitions = { { source = 'idle', target = 'nowhere' } }
