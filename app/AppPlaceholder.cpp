// Replaced as the folder grows.
