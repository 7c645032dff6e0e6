// Drawing library stand-in: the surfaces arrive with the host.
