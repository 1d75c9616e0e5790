// placeholder, replaced as the folder fills
